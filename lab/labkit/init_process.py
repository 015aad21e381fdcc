"""PID 1 of a lab's namespaces: forked inside the lab's network namespace into new namespaces of its
own, its output in a log of the lab folder, its PID read back as this machine sees it."""

import os

from labkit import kernel, netns
from labkit.errors import fail


def redirect_stdio(log_path, keep_fd):
    """Standard input from /dev/null, output to the log; closes every other descriptor except
    keep_fd, which moves to 3."""
    null = os.open("/dev/null", os.O_RDONLY)
    log = os.open(log_path, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
    os.dup2(null, 0)
    os.dup2(log, 1)
    os.dup2(log, 2)
    os.dup2(keep_fd, 3)
    os.closerange(4, 65536)


def start_init(name, flags, log_path, init, what):
    """Runs init() as PID 1 of new namespaces (kernel.CLONE_* flags) inside lab NAME's network
    namespace, in a session of its own, and returns its PID. An intermediate child unshares and
    forks it, passes its PID back through a pipe and ends; `what` names it in the errors."""
    read_fd, write_fd = os.pipe()
    intermediate = os.fork()
    if intermediate == 0:
        try:
            os.close(read_fd)
            os.setsid()
            redirect_stdio(log_path, write_fd)
            netns.enter(name)
            kernel.unshare(flags)
            pid = os.fork()
            if pid == 0:
                os.close(3)
                init()
                os._exit(1)
            os.write(3, b"%d\n" % pid)
        except Exception as e:
            print("%s: start failed: %s" % (what, e), flush=True)
        os._exit(0)
    os.close(write_fd)
    data = b""
    while True:
        chunk = os.read(read_fd, 64)
        if not chunk:
            break
        data += chunk
    os.close(read_fd)
    os.waitpid(intermediate, 0)
    if not data.strip():
        fail("%s did not start (see %s)" % (what, log_path))
    return int(data)
