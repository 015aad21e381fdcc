"""The device's SSH server as most units have it: OpenSSH's sshd, SFTP through internal-sftp, the
machine's own shell tools."""

import os
import re
import shutil
import signal
import time

from labkit.kernel import run
from labkit.state import DEVICE_HOST, cached_folder, write_file

NAME = "sshd"
PROGRAM = "/usr/sbin/sshd"
PROCESSES = (PROGRAM,)  # the machine's own binaries that the server's processes run
LOG = "sshd.log"
LOGIN_SHELL = "/bin/bash"
SSHD_UID = 101
# The server's own accounts: (passwd line, shadow line).
ACCOUNTS = [("sshd:x:%d:65534::/run/sshd:/usr/sbin/nologin\n" % SSHD_UID, "sshd:*:::::::\n")]
KEY_TYPES = ("ed25519", "ecdsa", "rsa")


def host_keys():
    """The cached host keys (generated once per machine)."""

    def make(folder):
        for kind, extra in (("ed25519", []), ("ecdsa", []), ("rsa", ["-b", "3072"])):
            run(["ssh-keygen", "-q", "-N", "", "-t", kind, *extra, "-C", "provision-lab",
                 "-f", os.path.join(folder, "ssh_host_%s_key" % kind)])

    return cached_folder(".hostkeys", make)


def write_files(dir):
    """Host keys, sshd_config and the log."""
    keys = os.path.join(dir, "ssh")
    shutil.copytree(host_keys(), keys)
    key_lines = "".join("HostKey %s/ssh_host_%s_key\n" % (keys, kind) for kind in KEY_TYPES)
    write_file(
        os.path.join(dir, "sshd_config"),
        "ListenAddress %s:22\n%s"
        "PasswordAuthentication yes\n"
        "KbdInteractiveAuthentication no\n"
        "PubkeyAuthentication no\n"
        "PermitRootLogin yes\n"
        "UsePAM no\n"
        "StrictModes no\n"
        "UseDNS no\n"
        "PrintMotd no\n"
        "PrintLastLog no\n"
        "MaxStartups 200\n"
        "MaxSessions 50\n"
        "LogLevel VERBOSE\n"
        "PidFile /run/sshd.pid\n"
        "Subsystem sftp internal-sftp\n" % (DEVICE_HOST, key_lines),
    )
    write_file(os.path.join(dir, LOG), "")


def set_ciphers(dir, listener_pid, ciphers):
    """Offers only `ciphers` (a comma-separated list; None: sshd's defaults) to new connections:
    the Ciphers line of sshd_config, and a hangup to the listener, which starts afresh with it.
    Returns once the new listener is up."""
    path = os.path.join(dir, "sshd_config")
    with open(path) as f:
        config = re.sub(r"(?m)^Ciphers .*\n", "", f.read())
    if ciphers:
        config += "Ciphers %s\n" % ciphers
    write_file(path, config)
    log = os.path.join(dir, LOG)
    marker = "Server listening on %s port 22." % DEVICE_HOST
    with open(log) as f:
        before = f.read().count(marker)
    os.kill(listener_pid, signal.SIGHUP)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        with open(log) as f:
            if f.read().count(marker) > before:
                return
        time.sleep(0.05)
    raise RuntimeError("sshd did not listen again after the hangup")


def mount_files(dir, root):
    """What sshd needs in the device's root beyond the common part."""
    os.mkdir(root + "/run/sshd", 0o755)


def exec_server(dir):
    """Runs sshd in the foreground (in the device, as its PID 1's child)."""
    os.execv(PROGRAM, [PROGRAM, "-D", "-f", dir + "/sshd_config", "-E", dir + "/" + LOG])


def listening(dir, init_pid):
    with open(os.path.join(dir, LOG)) as f:
        return "Server listening on %s port 22." % DEVICE_HOST in f.read()
