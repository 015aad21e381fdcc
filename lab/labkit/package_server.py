"""The package server in the lab's network namespace, started and stopped by its recorded PID:
ftp_server.py (pyftpdlib), or with `lab start NAME --ftp vsftpd` Debian's vsftpd (vsftpd.py). The
lab's file `ftp-server` tells which."""

import os
import signal
import subprocess

from labkit import faults, netns, vsftpd
from labkit.errors import fail
from labkit.state import (FTP_HOST, is_running, kill_recorded, lab_dir, read_pids, record_process,
                          wait_for)

SERVER_PROGRAM = os.path.join(os.path.dirname(os.path.realpath(__file__)), "ftp_server.py")
FLAVOURS = ("pyftpdlib", "vsftpd")


def flavour(name):
    """The lab's package server, as `lab start --ftp` chose it (pyftpdlib when not recorded)."""
    try:
        with open(os.path.join(lab_dir(name), "ftp-server")) as f:
            return f.read().strip()
    except FileNotFoundError:
        return "pyftpdlib"


def start(name):
    if flavour(name) == "vsftpd":
        vsftpd.start(name, faults.read_ftp_faults(name))
        return
    dir = lab_dir(name)
    if is_running(read_pids(name).get("ftp")):
        return
    ready = dir + "/ftp.ready"
    if os.path.exists(ready):
        os.unlink(ready)
    log = open(dir + "/ftp.log", "ab")
    process = subprocess.Popen(
        ["/usr/bin/python3", "-u", SERVER_PROGRAM, dir, FTP_HOST],
        stdin=subprocess.DEVNULL, stdout=log, stderr=log, start_new_session=True,
        preexec_fn=lambda: netns.enter(name))
    log.close()
    record_process(name, "ftp", process.pid)

    def ftp_ready():
        if process.poll() is not None:
            fail("the FTP server ended during start-up (see %s/ftp.log)" % dir)
        return os.path.exists(ready)

    wait_for(ftp_ready, "the FTP server")


def stop(name):
    if flavour(name) == "vsftpd":
        vsftpd.stop(name)
        return
    kill_recorded(read_pids(name).get("ftp"), signal.SIGTERM, 5)
    ready = lab_dir(name) + "/ftp.ready"
    if os.path.exists(ready):
        os.unlink(ready)


def hang(name):
    """Stops every process of the package server (`lab hang NAME ftp`)."""
    if flavour(name) == "vsftpd":
        vsftpd.hang(name)
    else:
        faults.hang(name, "ftp")


def set_fault(name, what, values, keep_time=False):
    """One switch of `lab ftp-fault`; False when the lab's server has no such switch. vsftpd
    enforces throttle and max-per-address itself (its configuration, read again for the
    connections that come after) and the refuse-login switch in its PAM service."""
    server = flavour(name)
    if server == "vsftpd" and what not in vsftpd.FAULTS:
        return False
    faults.set_ftp_fault(name, what, values, keep_time)
    if server == "vsftpd":
        vsftpd.apply_faults(name, faults.read_ftp_faults(name))
    return True
