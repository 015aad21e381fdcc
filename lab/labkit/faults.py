"""The fault switches: the package server's faults, hung peers, a device switched off, one whose
SSH server refuses connections while it restarts, a PC's firewall, an unplugged device, and the
watcher processes that throw a switch in the middle of an upload."""

import fnmatch
import glob
import json
import os
import signal
import subprocess
import sys
import time
import zipfile

from labkit import device, fixtures, netns
from labkit.errors import fail
from labkit.kernel import run
from labkit.state import (DEVICE_HOST, FTP_HOST, LAB_TOOL, Lock, is_running, kill_recorded,
                          lab_dir, proc_stat, read_pids, record_process, write_json, write_pids)

POWER_TABLE = "provlab_power"
FIREWALL_TABLE = "provlab_firewall"
REFUSE_TABLE = "provlab_refuse"
# The watchers' roles in pids.json, by the switch they throw.
WATCHERS = {"hang": "watcher", "power-off": "watcher", "refuse-ssh": "refuse-watcher"}

# ---------------------------------------------------------------------------- package server faults


def read_ftp_faults(name):
    try:
        with open(lab_dir(name) + "/ftp-faults.json") as f:
            return json.load(f)
    except (OSError, ValueError):
        return {}


def write_ftp_faults(name, faults):
    write_json(lab_dir(name) + "/ftp-faults.json", faults)


def one_positive_number(values, usage):
    """The switch's one value, a whole number of at least 1; else the usage line."""
    if len(values) != 1 or not values[0].isdigit() or int(values[0]) < 1:
        fail("usage: lab ftp-fault NAME " + usage)
    return int(values[0])


def set_ftp_fault(name, what, values, keep_time=False):
    """One switch of `lab ftp-fault`; the server reads the file on every command."""
    faults = read_ftp_faults(name)
    if what == "clear":
        faults = {}
    elif what == "refuse-login":
        faults["refuse_login"] = True
    elif what == "drop-after":
        if len(values) != 2 or not values[0].isdigit():
            fail("usage: lab ftp-fault NAME drop-after BYTES PATH")
        faults.setdefault("drop_after", {})[values[1]] = int(values[0])
    elif what == "stop-after":
        if len(values) != 2 or not values[0].isdigit():
            fail("usage: lab ftp-fault NAME stop-after BYTES PATH")
        faults.setdefault("stop_after", {})[values[1]] = int(values[0])
    elif what == "refuse-retr":
        faults["refuse_retr_left"] = one_positive_number(values, "refuse-retr N (N >= 1)")
    elif what == "refuse-size-mdtm":
        faults["refuse_size_mdtm"] = True
    elif what == "throttle":
        faults["throttle"] = one_positive_number(values, "throttle BYTES_PER_SECOND")
    elif what == "max-per-address":
        faults["max_per_address"] = one_positive_number(values, "max-per-address N (N >= 1)")
    elif what == "rebuild":
        if len(values) != 1 or not values[0].startswith("/"):
            fail("usage: lab ftp-fault NAME rebuild PATH [--keep-time]")
        rebuild_served(name, values[0], keep_time)
        return
    if keep_time:
        fail("--keep-time belongs to rebuild")
    if what in ("refuse-login", "refuse-size-mdtm") and values:
        fail("%s takes no further arguments" % what)
    write_ftp_faults(name, faults)


def rebuild_served(name, server_path, keep_time=False):
    """Puts a rebuild of the zip archive at `server_path` in its place (fixtures.rebuild: the same
    number of bytes, other bytes, still sound) with a newer time: the current time, and at least
    one second after its old one, which is what the server's MDTM tells. With `keep_time` the
    rebuild keeps the old file's times to the nanosecond, as an upload client that preserves them
    leaves it: then neither SIZE nor MDTM tells the change."""
    path = os.path.join(lab_dir(name), "ftp", "root") + server_path
    try:
        with open(path, "rb") as f:
            archive = f.read()
        old = os.stat(path)
    except OSError as e:
        fail("rebuild: %s: %s" % (server_path, e.strerror))
    try:
        rebuilt = fixtures.rebuild(archive)
    except (zipfile.BadZipFile, ValueError) as e:
        fail("rebuild: %s is no zip archive (%s)" % (server_path, e))
    if rebuilt is None:
        fail("rebuild: %s cannot be rebuilt to its own size" % server_path)
    tmp = path + ".rebuild.tmp"
    with open(tmp, "wb") as f:
        f.write(rebuilt)
    if keep_time:
        os.utime(tmp, ns=(old.st_atime_ns, old.st_mtime_ns))
    else:
        new_time = max(int(time.time()), int(old.st_mtime) + 1)
        os.utime(tmp, (new_time, new_time))
    os.replace(tmp, path)


# ---------------------------------------------------------------------------- hung peers


def hang(name, peer):
    """Stops (SIGSTOP) the peer's processes by PID: their kernel still accepts connections and
    acknowledges data, but nothing answers. The PIDs are recorded for `resume`."""
    if peer == "ftp":
        entry = read_pids(name).get("ftp")
        if not is_running(entry):
            fail("the package server of lab %s is not running" % name)
        entries = [entry]
    else:
        entries = [[pid, proc_stat(pid)[1]] for pid in device.ssh_server_pids(name)
                   if proc_stat(pid)]
        if not entries:
            fail("no SSH server process in the device of lab %s" % name)
    for pid, _ in entries:
        os.kill(pid, signal.SIGSTOP)
    with Lock(name + ".pids"):
        pids = read_pids(name)
        pids["hung-" + peer] = pids.get("hung-" + peer, []) + entries
        write_pids(name, pids)


def resume(name, peer):
    """Continues (SIGCONT) what `hang` stopped; the package server also after a stop-after fault."""
    with Lock(name + ".pids"):
        pids = read_pids(name)
        entries = pids.pop("hung-" + peer, [])
        write_pids(name, pids)
    if peer == "ftp":
        entries.append(pids.get("ftp"))
    for entry in entries:
        if is_running(entry):
            os.kill(entry[0], signal.SIGCONT)


# ---------------------------------------------------------------------------- watchers


def matching_paths(pattern):
    """The paths that `pattern` matches, a glob in any of its names ("*" also matching a leading
    dot, as in /opt/.provision-*.part/large.cal)."""
    paths = ["/"] if pattern.startswith("/") else [""]
    for part in [part for part in pattern.split("/") if part]:
        matched = []
        for base in paths:
            if not glob.has_magic(part):
                matched.append(os.path.join(base, part))
                continue
            try:
                names = os.listdir(base or ".")
            except (FileNotFoundError, NotADirectoryError):
                continue
            matched += [os.path.join(base, name) for name in fnmatch.filter(names, part)]
        paths = matched
    return paths


def largest_file_size(pattern):
    """The size of the largest file whose path matches `pattern` (a path, or a glob such as
    /opt/CalFile/.provision-*.part or /opt/.provision-*.part/large.cal); -1 when none does."""
    largest = -1
    for path in matching_paths(pattern):
        try:
            largest = max(largest, os.stat(path).st_size)
        except (FileNotFoundError, NotADirectoryError):
            pass
    return largest


def watch_device_file(name, size, path, action, seconds=None):
    """Hangs the device's SSH server ("hang"), switches the device off ("power-off") or has it
    refuse SSH connections for `seconds` ("refuse-ssh") as soon as the device file `path` (or one
    of the files that the glob `path` matches) holds `size` bytes: a device that stops answering,
    or restarts its SSH server, in the middle of an upload. Runs as a process of its own (see
    start_watcher)."""
    target = os.path.join(lab_dir(name), "device", path.lstrip("/"))
    deadline = time.monotonic() + 600
    while time.monotonic() < deadline:
        if largest_file_size(target) >= size:
            if action == "hang":
                hang(name, "device")
            elif action == "refuse-ssh":
                refuse_ssh(name, seconds)
            else:
                set_power(name, False)
            return
        time.sleep(0.002)


def start_watcher(name, size, path, action, seconds=None):
    extra = [] if seconds is None else [str(seconds)]
    process = subprocess.Popen(
        [sys.executable, LAB_TOOL, "_watch", name, str(size), path, action, *extra],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        start_new_session=True)
    record_process(name, WATCHERS[action], process.pid)


# ---------------------------------------------------------------------------- the lab network


def set_power(name, on):
    """Power off: every packet to or from the device's address is dropped (nftables in the lab
    network), so the device answers nothing at all, not even with a refusal."""
    nft, has_table = netns.nft_in(name)
    present = has_table(POWER_TABLE)
    if on:
        if present:
            run(nft + ["delete", "table", "ip", POWER_TABLE])
        return
    if present:
        return
    run(nft + ["add", "table", "ip", POWER_TABLE])
    run(nft + ["add", "chain", "ip", POWER_TABLE, "output",
               "{ type filter hook output priority 0 ; policy accept ; }"])
    for field in ("daddr", "saddr"):
        run(nft + ["add", "rule", "ip", POWER_TABLE, "output", "ip", field, DEVICE_HOST, "drop"])


def set_connect_back_blocked(name, blocked):
    """What a PC's firewall does to active FTP: the package server's connections back to the PC
    (every TCP connection it opens, to any port but the SSH and FTP ports) are dropped without an
    answer; the control connection and the device stay reachable."""
    nft, has_table = netns.nft_in(name)
    if has_table(FIREWALL_TABLE):
        run(nft + ["delete", "table", "ip", FIREWALL_TABLE])
    if not blocked:
        return
    run(nft + ["add", "table", "ip", FIREWALL_TABLE])
    run(nft + ["add", "chain", "ip", FIREWALL_TABLE, "output",
               "{ type filter hook output priority 0 ; policy accept ; }"])
    run(nft + ["add", "rule", "ip", FIREWALL_TABLE, "output", "ip", "saddr", FTP_HOST, "tcp",
               "dport", "!=", "{ 21, 22 }", "tcp", "flags", "&", "(syn|ack)", "==", "syn", "drop"])


def refuse_ssh(name, seconds):
    """A unit whose SSH server restarts: for `seconds`, every new TCP connection to the device's
    port 22 is refused at once (a TCP reset); connections already open go on. The device's address
    is an element of an nftables set that the kernel lets expire, so the refusal ends by itself. A
    second call starts the time afresh."""
    nft, _ = netns.nft_in(name)
    script = (
        "table ip {t}\n"
        "delete table ip {t}\n"  # a table from an earlier call goes, with its time
        "table ip {t} {{\n"
        "  set refusing {{ type ipv4_addr ; flags timeout ; "
        "elements = {{ {host} timeout {ms}ms }} ; }}\n"
        "  chain output {{ type filter hook output priority 0 ; policy accept ; "
        "ip daddr @refusing tcp dport 22 tcp flags & (syn|ack) == syn reject with tcp reset ; }}\n"
        "}}\n").format(t=REFUSE_TABLE, host=DEVICE_HOST, ms=max(1, round(seconds * 1000)))
    run(nft + ["-f", "-"], input=script.encode())


def clear_refuse_ssh(name):
    """Ends a refusal at once, and one that a watcher has yet to start."""
    kill_recorded(read_pids(name).get(WATCHERS["refuse-ssh"]), signal.SIGKILL, 10)
    nft, has_table = netns.nft_in(name)
    if has_table(REFUSE_TABLE):
        run(nft + ["delete", "table", "ip", REFUSE_TABLE])


def set_plugged(name, plugged):
    """unplug: the device's address leaves the lab network, so connecting to it fails at once
    (sessions already open stall); plug: it comes back and sshd answers again."""
    netns.set_device_address(name, plugged)
