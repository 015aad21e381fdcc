"""The measuring device: its accounts, its SSH server, the root it sees and its PID 1, which runs
in mount, PID, UTS and IPC namespaces of its own inside the lab's network namespace."""

import os
import signal
import subprocess
import time

from labkit import dropbear, kernel, openssh
from labkit.errors import fail
from labkit.init_process import start_init
from labkit.kernel import (MS_NODEV, MS_NOEXEC, MS_NOSUID, MS_PRIVATE, MS_REC, bind_mount, mount,
                           run)
from labkit.state import is_running, lab_dir, read_pids, record_process, wait_for, write_file

ROOT_PASSWORDS = {"qm": "lwzq", "zr": "tqowmb", "none": "lab-refuses-both"}
USER_NAME = "tqowmb"
USER_PASSWORD = "tqowmb"
USER_ID = 1000
DEVICE_PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
SSH_SERVERS = {"openssh": openssh, "dropbear": dropbear}
# Folders of the device that live in the lab folder (device/<path>), with their modes.
DEVICE_FOLDERS = {"opt": 0o755, "root": 0o700, "home": 0o755, "tmp": 0o1777, "var/log": 0o755}

# ---------------------------------------------------------------------------- device files


def hash_password(password):
    return run(["openssl", "passwd", "-6", password]).strip()


def write_accounts(dir, kind, server):
    """root and the ordinary user with the server's login shell, and the server's own accounts."""
    etc = os.path.join(dir, "etc")
    os.makedirs(etc)
    shell = server.LOGIN_SHELL
    write_file(
        os.path.join(etc, "passwd"),
        "root:x:0:0:root:/root:%s\n%s"
        "nobody:x:65534:65534:nobody:/nonexistent:/usr/sbin/nologin\n"
        "%s:x:%d:%d:%s:/home/%s:%s\n" % (shell, "".join(a[0] for a in server.ACCOUNTS), USER_NAME,
                                         USER_ID, USER_ID, USER_NAME, USER_NAME, shell),
    )
    write_file(
        os.path.join(etc, "group"),
        "root:x:0:\ntty:x:5:\nshadow:x:42:\nnogroup:x:65534:\n%s:x:%d:\n" % (USER_NAME, USER_ID),
    )
    # The last-change field stays empty: 0 there means "change the password now", which without
    # PAM makes sshd refuse command channels.
    write_file(
        os.path.join(etc, "shadow"),
        "root:%s::0:99999:7:::\n%snobody:*:::::::\n%s:%s::0:99999:7:::\n"
        % (hash_password(ROOT_PASSWORDS[kind]), "".join(a[1] for a in server.ACCOUNTS), USER_NAME,
           hash_password(USER_PASSWORD)),
        0o600,
    )


def server_of(dir):
    """The module of the lab's SSH server (openssh or dropbear, as `lab start --ssh` chose)."""
    try:
        with open(os.path.join(dir, "ssh-server")) as f:
            return SSH_SERVERS[f.read().strip()]
    except FileNotFoundError:
        return openssh


def create_files(dir, kind, ssh):
    """The device's part of a new lab folder: its folders, accounts and SSH server."""
    server = SSH_SERVERS[ssh]
    for folder, mode in DEVICE_FOLDERS.items():
        path = os.path.join(dir, "device", folder)
        os.makedirs(path)
        os.chmod(path, mode)
    home = os.path.join(dir, "device", "home", USER_NAME)
    os.makedirs(home, mode=0o755)
    os.chown(home, USER_ID, USER_ID)
    os.makedirs(os.path.join(dir, "unit"))  # the unit's identity, /run/lab in the device
    os.makedirs(os.path.join(dir, "mnt"))  # the device's root is assembled here
    write_accounts(dir, kind, server)
    server.write_files(dir)
    write_file(os.path.join(dir, "ssh-server"), ssh + "\n")


# ---------------------------------------------------------------------------- the device's root


def make_dev(root):
    """A private /dev: changing its nodes never changes the machine's."""
    dev = root + "/dev"
    mount("tmpfs", dev, "tmpfs", MS_NOSUID, "mode=0755,size=1m")
    for node, minor in (("null", 3), ("zero", 5), ("full", 7), ("random", 8), ("urandom", 9)):
        os.mknod(dev + "/" + node, 0o666 | 0o020000, os.makedev(1, minor))
        os.chmod(dev + "/" + node, 0o666)
    os.mknod(dev + "/tty", 0o666 | 0o020000, os.makedev(5, 0))
    os.chmod(dev + "/tty", 0o666)
    for folder in ("pts", "shm"):
        os.mkdir(dev + "/" + folder)
    mount("devpts", dev + "/pts", "devpts", MS_NOSUID | MS_NOEXEC, "newinstance,ptmxmode=0666,mode=620,gid=5")
    mount("tmpfs", dev + "/shm", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777,size=16m")
    os.symlink("pts/ptmx", dev + "/ptmx")
    os.symlink("/proc/self/fd", dev + "/fd")
    for i, stream in enumerate(("stdin", "stdout", "stderr")):
        os.symlink("/proc/self/fd/%d" % i, dev + "/" + stream)


def assemble_root(dir, name):
    """Builds the device's view of the file system at dir/mnt (in the device's mount namespace)."""
    root = dir + "/mnt"
    mount(None, "/", None, MS_REC | MS_PRIVATE)
    bind_mount("/", root, read_only=True)  # the machine's files, read-only
    mount("proc", root + "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC)
    bind_mount(root + "/proc/sys", root + "/proc/sys", read_only=True)
    if os.path.exists(root + "/proc/sysrq-trigger"):
        bind_mount(root + "/proc/sysrq-trigger", root + "/proc/sysrq-trigger", read_only=True)
    make_dev(root)
    mount("tmpfs", root + "/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755,size=16m")
    os.mkdir(root + "/run/lab", 0o755)
    bind_mount(dir + "/unit", root + "/run/lab", read_only=True)
    for folder in DEVICE_FOLDERS:
        bind_mount(dir + "/device/" + folder, root + "/" + folder)
    for file in ("passwd", "shadow", "group"):
        bind_mount(dir + "/etc/" + file, root + "/etc/" + file, read_only=True)
    server = server_of(dir)
    server.mount_files(dir, root)
    log = dir + "/" + server.LOG
    bind_mount(log, root + log)  # the only writable lab file
    return root


# ---------------------------------------------------------------------------- PID 1


def device_init(dir, name):
    """PID 1 of the device: assembles its root, starts the SSH server in it and reaps orphans
    forever."""
    try:
        kernel.sethostname(("device-" + name)[:63])
        root = assemble_root(dir, name)
        os.chroot(root)
        os.chdir("/")
        os.environ.clear()
        os.environ.update({"PATH": DEVICE_PATH, "HOME": "/root", "LANG": "C.UTF-8"})
        server = server_of(dir)
        server_pid = os.fork()
        if server_pid == 0:
            server.exec_server(dir)
    except Exception as e:  # reported in device.log; the lab waits for the server and times out
        print("device init failed: %s" % e, flush=True)
        os._exit(1)
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    while True:
        try:
            pid, status = os.wait()
        except ChildProcessError:
            time.sleep(1)
            continue
        except InterruptedError:
            continue
        if pid == server_pid:
            print("%s ended with status %d" % (server.NAME, status), flush=True)


def start(name):
    """Starts the device's PID 1 in new mount, PID, UTS and IPC namespaces inside the lab's network
    namespace and records its PID (as the machine sees it)."""
    dir = lab_dir(name)
    pid = start_init(name, kernel.CLONE_NEWNS | kernel.CLONE_NEWPID | kernel.CLONE_NEWUTS
                     | kernel.CLONE_NEWIPC, dir + "/device.log", lambda: device_init(dir, name),
                     "the device")
    record_process(name, "device", pid)
    entry = read_pids(name)["device"]
    server = server_of(dir)

    def server_listening():
        if not is_running(entry):
            fail("the device ended during start-up (see %s/device.log)" % dir)
        return server.listening(dir, pid)

    wait_for(server_listening, "the device's %s" % server.NAME)


def device_pid(name):
    entry = read_pids(name).get("device")
    if not is_running(entry):
        fail("the device of lab %s is not running" % name)
    return entry[0]


def set_ssh_ciphers(name, ciphers):
    """`lab ssh-ciphers`: the ciphers the OpenSSH device offers to new connections (None: its
    defaults). Dropbear offers the ciphers it was built with and nothing else."""
    dir = lab_dir(name)
    server = server_of(dir)
    if server is not openssh:
        fail("ssh-ciphers: the %s device offers the ciphers it was built with" % server.NAME)
    init = device_pid(name)
    listeners = [pid for pid in ssh_server_pids(name) if parent_of(pid) == init]
    if len(listeners) != 1:
        fail("ssh-ciphers: no single sshd listener in the device")
    try:
        openssh.set_ciphers(dir, listeners[0], ciphers)
    except RuntimeError as e:
        fail("ssh-ciphers: %s" % e)


def parent_of(pid):
    with open("/proc/%d/stat" % pid) as f:
        return int(f.read().rsplit(")", 1)[1].split()[1])


def device_argv(name, cmd):
    """The command line that runs `cmd` as root inside the device."""
    return ["nsenter", "-t", str(device_pid(name)), "-m", "-u", "-i", "-n", "-p", "-r", "-w", "--",
            "/usr/bin/env", "-i", "PATH=" + DEVICE_PATH, "HOME=/root", "LANG=C.UTF-8",
            "USER=root", "LOGNAME=root", *cmd]


def ssh_server_pids(name):
    """The PIDs (as this machine sees them) of the SSH server processes in the device: the listener
    and one or two per connection, and with Dropbear each connection's sftp-server."""
    init = device_pid(name)
    namespace = os.readlink("/proc/%d/ns/pid" % init)
    programs = {(p.st_dev, p.st_ino) for p in map(os.stat, server_of(lab_dir(name)).PROCESSES)}
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        pid = int(entry)
        try:
            if os.readlink("/proc/%d/ns/pid" % pid) != namespace or pid == init:
                continue
            exe = os.stat("/proc/%d/exe" % pid)
        except OSError:
            continue  # gone meanwhile, or a kernel thread
        if (exe.st_dev, exe.st_ino) in programs:
            pids.append(pid)
    return pids


def start_lumora4(name):
    """Starts the unit's measuring service in the device unless it runs already."""
    running = ["pgrep", "-x", "Lumora4"]
    if subprocess.run(device_argv(name, running), stdout=subprocess.DEVNULL).returncode == 0:
        return
    run(device_argv(name, ["sh", "-c", "setsid /opt/Lumora/Lumora4 </dev/null >/dev/null 2>&1 &"]))
    wait_for(lambda: subprocess.run(device_argv(name, running),
                                    stdout=subprocess.DEVNULL).returncode == 0, "Lumora4", 10)
