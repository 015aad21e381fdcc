"""The package server: ftp_server.py (pyftpdlib) in the lab's network namespace, started and
stopped by its recorded PID."""

import os
import signal
import subprocess

from labkit import netns
from labkit.errors import fail
from labkit.state import (FTP_HOST, is_running, kill_recorded, lab_dir, read_pids, record_process,
                          wait_for)

SERVER_PROGRAM = os.path.join(os.path.dirname(os.path.realpath(__file__)), "ftp_server.py")


def start(name):
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
    kill_recorded(read_pids(name).get("ftp"), signal.SIGTERM, 5)
    ready = lab_dir(name) + "/ftp.ready"
    if os.path.exists(ready):
        os.unlink(ready)
