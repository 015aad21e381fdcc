"""A whole lab: its folder, starting and stopping it, the labs of this machine."""

import os
import signal
import subprocess
import sys

from labkit import device, faults, mounts, netns, package_server
from labkit.errors import fail
from labkit.state import (LAB_ROOT, Lock, check_name, is_running, kill_recorded, lab_dir, lab_names,
                          proc_stat, read_pids, record_process, remove_locks, write_file)


def create_folder(name, kind, ssh, ftp):
    dir = lab_dir(name)
    os.makedirs(dir, mode=0o755)
    device.create_files(dir, kind, ssh)
    os.makedirs(os.path.join(dir, "ftp", "root"))
    write_file(os.path.join(dir, "kind"), kind + "\n")
    write_file(os.path.join(dir, "ftp-server"), ftp + "\n")
    write_file(os.path.join(dir, "ftp-faults.json"), "{}\n")
    return dir


def stop_lab(name):
    dir = lab_dir(name)
    pids = read_pids(name)
    for role in sorted(set(faults.WATCHERS.values())):
        kill_recorded(pids.get(role), signal.SIGKILL, 10)
    kill_recorded(pids.get("device"), signal.SIGKILL, 10)
    package_server.stop(name)
    netns.delete(name)
    mounts.unmount_all(name)
    if os.path.isdir(dir):
        if os.path.ismount(dir + "/mnt"):
            fail("%s/mnt is still a mount point; not removing the lab folder" % dir)
        subprocess.run(["rm", "-rf", "--one-file-system", dir], check=True)


def show_logs(name):
    """Copies the lab's logs to standard error (the lab folder is about to go)."""
    for log in ("device.log", "sshd.log", "dropbear.log", "ftp.log"):
        try:
            with open(os.path.join(lab_dir(name), log), errors="replace") as f:
                text = f.read().strip()
        except OSError:
            continue
        if text:
            print("--- %s\n%s" % (log, text), file=sys.stderr)


def start(name, kind, owner, ssh="openssh", ftp="pyftpdlib"):
    """Stops a stale lab of that name, starts a new one and returns its folder."""
    name = check_name(name)
    with Lock(name):
        stop_lab(name)
        try:
            netns.create(name)
            dir = create_folder(name, kind, ssh, ftp)
            if owner:
                if proc_stat(owner) is None:
                    fail("owner process %d does not exist" % owner)
                record_process(name, "owner", owner)
            device.start(name)
            package_server.start(name)
        except BaseException:
            show_logs(name)
            stop_lab(name)
            raise
    return dir


def stop(name):
    with Lock(check_name(name)):
        stop_lab(name)
        remove_locks(name)


def prune():
    """Stops the labs started with an owner that has ended (a test that crashed); yields the name
    of each as soon as it is stopped."""
    for name in lab_names():
        if not os.path.isdir(os.path.join(LAB_ROOT, name)):
            continue
        owner = read_pids(name).get("owner")
        if owner and not is_running(owner):
            with Lock(name):
                stop_lab(name)
            remove_locks(name)
            yield name


def describe():
    """One line a lab: whether its servers run, and its owner."""
    lines = []
    for name in lab_names():
        pids = read_pids(name)
        state = lambda role: "up" if is_running(pids.get(role)) else "down"
        owner = "%s(%d)" % (state("owner"), pids["owner"][0]) if "owner" in pids else "-"
        lines.append("%s device=%s ftp=%s owner=%s" % (name, state("device"), state("ftp"), owner))
    return lines
