"""What the lab keeps on disk: the lab folders, their names, pids.json, the locks, and the
recorded processes, which are only ever signalled by PID and checked against their start time."""

import fcntl
import json
import os
import re
import shutil
import signal
import time

from labkit.errors import fail

DEVICE_HOST = "192.168.10.2"
FTP_HOST = "192.168.10.1"
LAB_ROOT = "/var/tmp/provision-lab"
# The lab's command line (lab/lab), which runs the watcher processes too.
LAB_TOOL = os.path.join(os.path.dirname(os.path.dirname(os.path.realpath(__file__))), "lab")
READY_TIMEOUT = 20.0


def check_name(name):
    if not re.fullmatch(r"[A-Za-z0-9][A-Za-z0-9_.-]{0,47}", name):
        fail("invalid lab name %r (letters, digits, '_', '.', '-'; at most 48)" % name)
    return name


def lab_dir(name):
    return os.path.join(LAB_ROOT, check_name(name))


def require_lab(name):
    if not os.path.isdir(lab_dir(name)):
        fail("no lab named %s (start it with: lab start %s)" % (name, name))


def lab_names():
    """The names of the labs of this machine (their folders), sorted."""
    if not os.path.isdir(LAB_ROOT):
        return []
    return [name for name in sorted(os.listdir(LAB_ROOT)) if not name.startswith(".")]


def write_file(path, text, mode=0o644):
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, mode)


def write_json(path, value):
    """Replaces the file whole, so a reader never sees half of it."""
    with open(path + ".tmp", "w") as f:
        json.dump(value, f)
    os.replace(path + ".tmp", path)


class Lock:
    """Serialises commands that change one lab (start, stop, ftp up/down)."""

    def __init__(self, name):
        os.makedirs(LAB_ROOT, exist_ok=True)
        self.fd = os.open(os.path.join(LAB_ROOT, "." + name + ".lock"), os.O_RDWR | os.O_CREAT, 0o644)

    def __enter__(self):
        fcntl.flock(self.fd, fcntl.LOCK_EX)
        return self

    def __exit__(self, *exc):
        fcntl.flock(self.fd, fcntl.LOCK_UN)
        os.close(self.fd)


def cached_folder(name, fill):
    """The machine-wide folder LAB_ROOT/name, made once by `fill(folder)` (into a temporary folder
    that takes the name only when it is complete) and shared by every lab after that."""
    cache = os.path.join(LAB_ROOT, name)
    with Lock(".hostkeys"):
        if not os.path.isdir(cache):
            tmp = cache + ".tmp"
            shutil.rmtree(tmp, ignore_errors=True)
            os.makedirs(tmp, mode=0o700)
            fill(tmp)
            os.rename(tmp, cache)
    return cache


def remove_locks(name):
    for suffix in (".lock", ".pids.lock"):
        lock_file = os.path.join(LAB_ROOT, "." + name + suffix)
        if os.path.exists(lock_file):
            os.unlink(lock_file)


def proc_stat(pid):
    """(state, start time) of a process, or None when it does not exist."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except (OSError, IndexError):
        return None
    return fields[0], fields[19]


def read_pids(name):
    try:
        with open(os.path.join(lab_dir(name), "pids.json")) as f:
            return json.load(f)
    except (OSError, ValueError):
        return {}


def write_pids(name, pids):
    write_json(os.path.join(lab_dir(name), "pids.json"), pids)


def record_process(name, role, pid):
    stat = proc_stat(pid)
    with Lock(name + ".pids"):
        pids = read_pids(name)
        pids[role] = [pid, stat[1] if stat else ""]
        write_pids(name, pids)


def is_running(entry):
    """Whether the recorded [pid, start time] is still that live (non-zombie) process."""
    if not entry:
        return False
    stat = proc_stat(entry[0])
    return stat is not None and stat[1] == entry[1] and stat[0] != "Z"


def kill_recorded(entry, sig, grace_seconds):
    """Signals the recorded process (only if it is still the same one) and waits until it is gone
    or a zombie; escalates to SIGKILL after the grace time."""
    if not is_running(entry):
        return
    try:
        os.kill(entry[0], sig)
        os.kill(entry[0], signal.SIGCONT)  # a hung (stopped) process handles it too
    except ProcessLookupError:
        return
    deadline = time.monotonic() + grace_seconds
    while is_running(entry):
        if time.monotonic() > deadline:
            if sig == signal.SIGKILL:
                fail("process %d does not die" % entry[0])
            try:
                os.kill(entry[0], signal.SIGKILL)
            except ProcessLookupError:
                return
            sig = signal.SIGKILL
            deadline = time.monotonic() + 10
        time.sleep(0.02)
    try:
        os.waitpid(entry[0], os.WNOHANG)  # our own child when started by this invocation
    except ChildProcessError:
        pass


def wait_for(predicate, what, timeout=READY_TIMEOUT):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            fail("timed out waiting for " + what)
        time.sleep(0.02)
