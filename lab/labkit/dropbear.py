"""The device's SSH server as many field units have it: Dropbear, with BusyBox as the login shell
and the tools, and OpenSSH's sftp-server (Debian's openssh-sftp-server) for SFTP at the path
Dropbear has compiled in (/usr/lib/sftp-server). Dropbear keeps its own channel window (24 KiB)."""

import os
import shutil

from labkit import busybox
from labkit.kernel import run
from labkit.state import DEVICE_HOST, cached_folder, write_file

NAME = "dropbear"
PROGRAM = "/usr/sbin/dropbear"
SFTP_SERVER = "/usr/lib/sftp-server"
# The machine's own binaries that the server's processes run: a hung server stops its SFTP too.
PROCESSES = (PROGRAM, SFTP_SERVER)
LOG = "dropbear.log"
LOGIN_SHELL = "/bin/sh"  # BusyBox's sh in the device
ACCOUNTS = []  # Dropbear needs no account of its own
# Host key types: ed25519 and ECDSA (nistp256). No RSA key: Dropbear's changelog announces it will
# drop ssh-rsa's SHA-1 signatures.
KEY_TYPES = (("ed25519", []), ("ecdsa", ["-s", "256"]))
PROGRAMS = {PROGRAM: PROGRAM}


def host_keys():
    """The cached host keys (generated once per machine with dropbearkey)."""

    def make(folder):
        for kind, extra in KEY_TYPES:
            run(["dropbearkey", "-t", kind, *extra,
                 "-f", os.path.join(folder, "dropbear_%s_host_key" % kind)])

    return cached_folder(".dropbear-hostkeys", make)


def write_files(dir):
    """Host keys, the BusyBox tree and the log."""
    shutil.copytree(host_keys(), os.path.join(dir, "ssh"))
    busybox.write_tree(dir, PROGRAMS)
    write_file(os.path.join(dir, LOG), "")


def mount_files(dir, root):
    busybox.mount_tree(dir, root, PROGRAMS)


def exec_server(dir):
    """Runs Dropbear in the foreground, logging to standard error, which goes to its log."""
    log = os.open(os.path.join(dir, LOG), os.O_WRONLY | os.O_APPEND)
    os.dup2(log, 1)
    os.dup2(log, 2)
    os.close(log)
    keys = []
    for kind, _ in KEY_TYPES:
        keys += ["-r", os.path.join(dir, "ssh", "dropbear_%s_host_key" % kind)]
    os.execv(PROGRAM, [PROGRAM, "-F", "-E", "-p", DEVICE_HOST + ":22", *keys,
                       "-P", "/run/dropbear.pid"])


def listening(dir, init_pid):
    """Whether a socket listens on the device's port 22 (Dropbear logs no such line)."""
    address = "%02X%02X%02X%02X:0016" % tuple(reversed([int(p) for p in DEVICE_HOST.split(".")]))
    with open("/proc/%d/net/tcp" % init_pid) as f:
        return any(fields[1] == address and fields[3] == "0A"
                   for fields in (line.split() for line in f.readlines()[1:]))
