"""The vsftpd flavour of the package server (`lab start NAME --ftp vsftpd`): Debian's vsftpd on
192.168.10.1:21 in the lab's network namespace, in mount and PID namespaces of its own.

The account: vsftpd's guest logins. In vsftpd's mount namespace /etc/passwd, /etc/shadow and
/etc/group are private copies that hold the account velqorn, and /etc/pam.d is the lab's own, where
the service "vsftpd" checks the password with pam_unix (and pam_listfile, for the refuse-login
switch). vsftpd then maps the login to the local user root and chroots it to LABDIR/ftp/root, so
files the tests write there as root are served whatever their owner and mode, and "/" is that
folder. The machine's own accounts and PAM configuration are neither used nor changed. (A PAM
module that runs a program, pam_exec, does not do: vsftpd takes the end of that program for the end
of its own session process and waits for it forever.)

PID 1 of that PID namespace is a small reaper of the lab's, which starts vsftpd and ends with it:
SIGKILL to it (by its recorded PID) ends vsftpd and every session process with it, and `hang` stops
every process of that namespace.

Its log (LABDIR/ftp.log) holds vsftpd's own lines: with log_ftp_protocol every command
(`FTP command: Client "192.168.10.1", "RETR x.zip"`, the password as `PASS <password>`) and reply
(`FTP response: Client "192.168.10.1", "226 Transfer complete."`), and each transfer
(`OK DOWNLOAD: Client "192.168.10.1", "/p/x.zip", 7 bytes, ...`).
"""

import ctypes
import os
import select
import signal

from labkit import kernel
from labkit.errors import fail
from labkit.init_process import start_init
from labkit.kernel import MS_PRIVATE, MS_REC, bind_mount, mount, run
from labkit.state import (FTP_HOST, READY_TIMEOUT, Lock, is_running, kill_recorded, lab_dir,
                          proc_stat, read_pids, record_process, wait_for, write_file, write_pids)

PROGRAM = "/usr/sbin/vsftpd"
USER = "velqorn"
PASSWORD = "ftp604817"
USER_ID = 2000
PORT = 21
IN_OPEN = 0x20
IN_CLOEXEC = 0o2000000
# The switches of `lab ftp-fault` this flavour has; the others answer "not supported".
FAULTS = ("refuse-login", "throttle", "max-per-address", "rebuild", "clear")


def folder(dir):
    return os.path.join(dir, "vsftpd")


def config_text(dir, faults):
    """vsftpd.conf for the lab; the switches that vsftpd itself enforces come from `faults`."""
    return "".join("%s=%s\n" % item for item in (
        ("listen", "YES"),
        ("listen_ipv6", "NO"),
        ("listen_address", FTP_HOST),
        ("listen_port", PORT),
        ("background", "NO"),
        ("ftpd_banner", "lab package server ready."),
        ("anonymous_enable", "NO"),
        ("local_enable", "YES"),
        ("write_enable", "YES"),
        ("local_umask", "022"),
        ("guest_enable", "YES"),
        ("guest_username", "root"),
        ("virtual_use_local_privs", "YES"),
        ("local_root", os.path.join(dir, "ftp", "root")),
        ("chroot_local_user", "YES"),
        ("allow_writeable_chroot", "YES"),
        ("pam_service_name", "vsftpd"),
        ("nopriv_user", "nobody"),
        ("secure_chroot_dir", os.path.join(folder(dir), "empty")),
        # The sessions stay in vsftpd's PID namespace, where `hang` finds them.
        ("isolate", "NO"),
        ("isolate_network", "NO"),
        ("seccomp_sandbox", "NO"),
        ("force_dot_files", "YES"),
        ("port_enable", "YES"),
        ("pasv_enable", "YES"),
        ("connect_from_port_20", "NO"),
        ("max_per_ip", int(faults.get("max_per_address", 0))),
        ("local_max_rate", int(faults.get("throttle", 0))),
        ("xferlog_enable", "YES"),
        ("xferlog_std_format", "NO"),
        ("log_ftp_protocol", "YES"),
        ("vsftpd_log_file", os.path.join(dir, "ftp.log")),
        ("syslog_enable", "NO"),
        ("dual_log_enable", "NO"),
    ))


def pam_text(dir):
    """The PAM service "vsftpd" as vsftpd sees it: no user named in the refused list, then the
    password of the private /etc/shadow."""
    return ("auth requisite pam_listfile.so item=user sense=deny file=%s onerr=succeed\n"
            "auth required pam_unix.so nodelay\n"
            "account required pam_permit.so\n"
            "session required pam_permit.so\n"
            "password required pam_deny.so\n" % os.path.join(folder(dir), "refused"))


def write_accounts(dir):
    """vsftpd's /etc/passwd, /etc/shadow and /etc/group: root (the guest logins' user), nobody
    (its unprivileged processes) and the lab's account."""
    etc = os.path.join(folder(dir), "etc")
    os.makedirs(etc, exist_ok=True)
    write_file(os.path.join(etc, "passwd"),
               "root:x:0:0:root:/root:/bin/sh\n"
               "nobody:x:65534:65534:nobody:/nonexistent:/usr/sbin/nologin\n"
               "%s:x:%d:%d::/nonexistent:/usr/sbin/nologin\n" % (USER, USER_ID, USER_ID))
    write_file(os.path.join(etc, "group"),
               "root:x:0:\nnogroup:x:65534:\n%s:x:%d:\n" % (USER, USER_ID))
    write_file(os.path.join(etc, "shadow"),
               "root:*::0:99999:7:::\nnobody:*:::::::\n%s:%s::0:99999:7:::\n"
               % (USER, run(["openssl", "passwd", "-6", PASSWORD]).strip()), 0o600)


def write_files(dir, faults):
    """The configuration, the refused list, the PAM folder, the accounts (once) and the empty
    folder vsftpd's unprivileged processes use."""
    base = folder(dir)
    os.makedirs(os.path.join(base, "pam.d"), exist_ok=True)
    empty = os.path.join(base, "empty")
    os.makedirs(empty, exist_ok=True)
    os.chmod(empty, 0o555)
    if not os.path.exists(os.path.join(base, "etc", "shadow")):
        write_accounts(dir)
    write_file(os.path.join(base, "pam.d", "vsftpd"), pam_text(dir))
    write_file(os.path.join(base, "refused"), USER + "\n" if faults.get("refuse_login") else "")
    write_file(os.path.join(base, "vsftpd.conf.tmp"), config_text(dir, faults), 0o600)
    os.replace(os.path.join(base, "vsftpd.conf.tmp"), os.path.join(base, "vsftpd.conf"))


def listening(pid):
    """Whether a socket of the process's network namespace listens on 192.168.10.1:21."""
    wanted = "%08X:%04X" % (int.from_bytes(bytes(map(int, FTP_HOST.split("."))), "little"), PORT)
    try:
        with open("/proc/%d/net/tcp" % pid) as f:
            lines = f.read().splitlines()[1:]
    except OSError:
        return False
    return any(fields[1] == wanted and fields[3] == "0A" for fields in map(str.split, lines))


def server_init(dir):
    """PID 1 of vsftpd's namespaces: binds the lab's PAM folder and accounts over the machine's,
    starts vsftpd and reaps the orphans of its sessions (vsftpd itself must not get them: it takes
    every child it reaps for one of its sessions, and fails on any other); ends with vsftpd."""
    try:
        mount(None, "/", None, MS_REC | MS_PRIVATE)
        bind_mount(os.path.join(folder(dir), "pam.d"), "/etc/pam.d")
        for name in ("passwd", "shadow", "group"):
            bind_mount(os.path.join(folder(dir), "etc", name), "/etc/" + name)
        os.chdir("/")
        server = os.fork()
        if server == 0:
            os.execv(PROGRAM, [PROGRAM, os.path.join(folder(dir), "vsftpd.conf")])
    except Exception as e:  # reported in ftp.log; the lab waits for the listener and times out
        print("vsftpd start failed: %s" % e, flush=True)
        os._exit(1)
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    while True:
        try:
            pid, status = os.wait()
        except InterruptedError:
            continue
        if pid == server:
            print("vsftpd ended with status %d" % status, flush=True)
            os._exit(1)


def start(name, faults):
    """Starts vsftpd in new mount and PID namespaces inside the lab's network namespace, records
    its PID (as this machine sees it) and waits until it listens."""
    dir = lab_dir(name)
    if is_running(read_pids(name).get("ftp")):
        return
    if not os.access(PROGRAM, os.X_OK):
        fail("%s is missing (scripts/install-deps installs vsftpd)" % PROGRAM)
    write_files(dir, faults)
    pid = start_init(name, kernel.CLONE_NEWNS | kernel.CLONE_NEWPID, dir + "/ftp.log",
                     lambda: server_init(dir), "vsftpd")
    record_process(name, "ftp", pid)
    entry = read_pids(name)["ftp"]

    def ready():
        if not is_running(entry):
            fail("vsftpd ended during start-up (see %s/ftp.log)" % dir)
        return listening(pid)  # the reaper shares vsftpd's network namespace

    wait_for(ready, "vsftpd")


def stop(name):
    """SIGKILL to PID 1 of vsftpd's namespace ends every process in it."""
    kill_recorded(read_pids(name).get("ftp"), signal.SIGKILL, 10)


def server_pids(name):
    """The PIDs of the processes in vsftpd's PID namespace: its PID 1, the listener and each
    session's two."""
    entry = read_pids(name).get("ftp")
    if not is_running(entry):
        fail("the package server of lab %s is not running" % name)
    namespace = os.readlink("/proc/%d/ns/pid" % entry[0])
    pids = []
    for item in os.listdir("/proc"):
        if not item.isdigit():
            continue
        try:
            if os.readlink("/proc/%s/ns/pid" % item) == namespace:
                pids.append(int(item))
        except OSError:
            continue  # gone meanwhile, or a kernel thread
    return pids


def hang(name):
    """Stops (SIGSTOP) every vsftpd process, sessions included; recorded for `resume`."""
    entries = [[pid, proc_stat(pid)[1]] for pid in server_pids(name) if proc_stat(pid)]
    for pid, _ in entries:
        os.kill(pid, signal.SIGSTOP)
    with Lock(name + ".pids"):
        pids = read_pids(name)
        pids["hung-ftp"] = pids.get("hung-ftp", []) + entries
        write_pids(name, pids)


def apply_faults(name, faults):
    """Writes the configuration for `faults`; a running vsftpd reads it again for the connections
    that come after."""
    dir = lab_dir(name)
    write_files(dir, faults)
    entry = read_pids(name).get("ftp")
    if is_running(entry):
        reload(listener_pid(entry[0]), os.path.join(folder(dir), "vsftpd.conf"))


def reload(listener, config):
    """SIGHUP has vsftpd's listener read its configuration again; returns once it opened the file.
    The listener takes no connection while it reads, so every connection made after this returns
    gets the new configuration. A stopped (hung) listener reads it when it goes on, before it takes
    a connection."""
    libc = kernel.libc
    watch = libc.inotify_init1(IN_CLOEXEC)
    if watch < 0:
        fail("inotify_init1: %s" % os.strerror(ctypes.get_errno()))
    try:
        if libc.inotify_add_watch(watch, config.encode(), IN_OPEN) < 0:
            fail("inotify_add_watch %s: %s" % (config, os.strerror(ctypes.get_errno())))
        os.kill(listener, signal.SIGHUP)
        stat = proc_stat(listener)
        if stat and stat[0] == "T":
            return
        if not select.select([watch], [], [], READY_TIMEOUT)[0]:
            fail("vsftpd did not read %s again" % config)
    finally:
        os.close(watch)


def listener_pid(init):
    """The vsftpd process that PID 1 of its namespace started: the one that listens."""
    for item in os.listdir("/proc"):
        try:
            with open("/proc/%s/stat" % item) as f:
                parent = int(f.read().rsplit(")", 1)[1].split()[1])
        except (OSError, ValueError, IndexError):
            continue
        if parent == init:
            return int(item)
    fail("vsftpd is not running")
