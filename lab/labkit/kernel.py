"""System calls the standard library lacks (through ctypes) and running the system's commands."""

import ctypes
import os
import subprocess

from labkit.errors import fail

CLONE_NEWNS = 0x00020000
CLONE_NEWUTS = 0x04000000
CLONE_NEWIPC = 0x08000000
CLONE_NEWPID = 0x20000000
CLONE_NEWNET = 0x40000000
MS_RDONLY = 1
MS_NOSUID = 2
MS_NODEV = 4
MS_NOEXEC = 8
MS_REMOUNT = 32
MS_BIND = 4096
MS_REC = 16384
MS_PRIVATE = 1 << 18

libc = ctypes.CDLL("libc.so.6", use_errno=True)


def check_call(result, what):
    if result != 0:
        err = ctypes.get_errno()
        fail("%s: %s" % (what, os.strerror(err)))


def mount(source, target, fstype, flags, data=None):
    enc = lambda s: s.encode() if s is not None else None
    check_call(
        libc.mount(enc(source), enc(target), enc(fstype), ctypes.c_ulong(flags), enc(data)),
        "mount %s on %s" % (source, target),
    )


def bind_mount(source, target, read_only=False, recursive=False):
    mount(source, target, None, MS_BIND | (MS_REC if recursive else 0))
    if read_only:
        mount(None, target, None, MS_REMOUNT | MS_BIND | MS_RDONLY)


def unshare(flags):
    check_call(libc.unshare(flags), "unshare")


def setns(path, nstype):
    fd = os.open(path, os.O_RDONLY)
    try:
        check_call(libc.setns(fd, nstype), "setns " + path)
    finally:
        os.close(fd)


def sethostname(name):
    encoded = name.encode()
    libc.sethostname(encoded, len(encoded))


def run(argv, **kwargs):
    """Runs a command and returns its standard output; fails with its standard error."""
    result = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kwargs)
    if result.returncode != 0:
        fail("%s failed: %s" % (" ".join(argv), result.stderr.decode(errors="replace").strip()))
    return result.stdout.decode()
