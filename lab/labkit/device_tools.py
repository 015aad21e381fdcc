"""Switches on the device's own tools: a unit that lacks a tool (`hide`), and one whose unzip
damages what it has unpacked (`alter-after-unzip`). Each works on both kinds of device:

- OpenSSH device (the machine's tools): a small script is bound over the machine's binary in the
  device's mount namespace only; `clear` unmounts it. The real unzip stays reachable for the
  wrapper at /run/lab-tools/unzip (the device's private /run).
- Dropbear device (BusyBox): the applet's link in the lab folder's busybox/ tree is removed or
  replaced by the script, and put back by `clear`.

What is switched on is recorded in LABDIR/device-tools.json, so `clear` knows what to undo."""

import json
import os
import shlex
import subprocess

from labkit import busybox, device, dropbear
from labkit.errors import fail
from labkit.kernel import run
from labkit.state import Lock, lab_dir, write_json

HIDEABLE = ("sha256sum",)
STATE = "device-tools.json"
FOLDER = "tools"  # in the lab folder: the scripts bound over (or put in place of) the tools
REAL_TOOLS = "/run/lab-tools"  # OpenSSH device: where the wrapper finds the real unzip

# A tool the device does not have: what its login shell says and the status it ends with. The
# OpenSSH device's login shell is bash, BusyBox's sh answers on the other (where the applet is
# really gone, so this script serves only the OpenSSH device).
MISSING = """#!/bin/sh
# The lab has taken this tool away: the device answers as its shell does for a missing command.
echo "bash: {tool}: command not found" >&2
exit 127
"""

# The device's unzip, which once it has succeeded inverts the middle byte of one extracted file,
# RELPATH under the folder it unpacked into (-d DIR, else the current folder). Plain POSIX sh with
# tools that coreutils and BusyBox both have, as the device's tools are one or the other.
ALTERING_UNZIP = """#!/bin/sh
# The lab's unzip: the device's own, after which one byte in the middle of the extracted file
# {relpath} is inverted, as a bad flash or a broken unzip leaves it.
relpath={quoted}
dir=.
previous=
for arg in "$@"; do
  if [ "$previous" = -d ]; then dir=$arg; fi
  case $arg in -d?*) dir=${{arg#-d}} ;; esac
  previous=$arg
done
{real} "$@"
status=$?
[ "$status" -eq 0 ] || exit "$status"
file=$dir/$relpath
[ -f "$file" ] || exit 0
size=$(wc -c < "$file")
[ "$size" -gt 0 ] || exit 0
offset=$((size / 2))
byte=$(od -A n -t u1 -j "$offset" -N 1 "$file" | tr -d ' ')
printf "\\\\$(printf %03o $((255 - byte)))" |
  dd of="$file" bs=1 seek="$offset" count=1 conv=notrunc 2>/dev/null
exit 0
"""


def read_state(name):
    try:
        with open(os.path.join(lab_dir(name), STATE)) as f:
            return json.load(f)
    except (OSError, ValueError):
        return {}


def is_dropbear(name):
    return device.server_of(lab_dir(name)) is dropbear


def write_script(name, file_name, text):
    folder = os.path.join(lab_dir(name), FOLDER)
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, file_name)
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, 0o755)
    return path


# ---------------------------------------------------------------------------- OpenSSH device


def in_device_mounts(name, argv, check=True):
    """Runs argv in the device's mount namespace, at its root (the device's "/" lies at
    LABDIR/mnt there, the machine's files at their own paths)."""
    full = ["nsenter", "-t", str(device.device_pid(name)), "-m", "--", *argv]
    if check:
        return run(full)
    return subprocess.run(full, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode


def machine_paths(tool):
    """The files that `tool` names on the device's PATH (the device's root is the machine's), each
    file once: binding over them hides every name the PATH gives it."""
    paths = []
    for folder in device.DEVICE_PATH.split(":"):
        candidate = os.path.join(folder, tool)
        if os.path.isfile(candidate) and os.access(candidate, os.X_OK):
            real = os.path.realpath(candidate)
            if real not in paths:
                paths.append(real)
    return paths


def bind_over(name, source, device_path):
    """Binds `source` read-only over the device's `device_path`; returns the mount point as the
    device's mount namespace names it."""
    target = lab_dir(name) + "/mnt" + device_path
    in_device_mounts(name, ["mount", "--bind", "-o", "ro", source, target])
    return target


def mount_hidden(name, tool):
    paths = machine_paths(tool)
    if not paths:
        fail("the device has no %s to hide" % tool)
    stub = write_script(name, tool, MISSING.format(tool=tool))
    return [bind_over(name, stub, path) for path in paths]


def mount_altering_unzip(name, relpath):
    paths = machine_paths("unzip")
    if not paths:
        fail("the device has no unzip")
    real_folder = lab_dir(name) + "/mnt" + REAL_TOOLS
    real = real_folder + "/unzip"
    in_device_mounts(name, ["mkdir", "-p", real_folder])
    in_device_mounts(name, ["touch", real])
    in_device_mounts(name, ["mount", "--bind", "-o", "ro", paths[0], real])
    wrapper = write_script(name, "unzip", ALTERING_UNZIP.format(
        relpath=relpath, quoted=shlex.quote(relpath), real=REAL_TOOLS + "/unzip"))
    return [real] + [bind_over(name, wrapper, path) for path in paths]


def unmount(name, targets):
    for target in reversed(targets):
        in_device_mounts(name, ["umount", target], check=False)


# ---------------------------------------------------------------------------- Dropbear device


def applet_link(name, tool):
    """The lab folder's link of the BusyBox applet `tool` (in busybox/bin or busybox/sbin)."""
    dir = lab_dir(name)
    for folder in ("/usr/bin", "/usr/sbin"):
        path = busybox.lab_path(dir, folder + "/" + tool)
        if os.path.islink(path):
            return path
    fail("the device has no BusyBox applet %s" % tool)


def restore_applet(path):
    if os.path.lexists(path):
        os.unlink(path)
    os.symlink("/usr/bin/busybox", path)


# ---------------------------------------------------------------------------- the switches


def undo(name, state):
    """Undoes the switches that `state` records."""
    for switch in state.values():
        if "mounts" in switch:
            unmount(name, switch["mounts"])
        if "applet" in switch:
            restore_applet(switch["applet"])


def set_device_tool(name, what, values):
    """One switch of `lab device-tool`: hide TOOL, alter-after-unzip RELPATH or clear. A switch
    set again replaces itself; clear undoes every one."""
    with Lock(name + ".tools"):
        state = read_state(name)
        if what == "clear":
            if values:
                fail("usage: lab device-tool NAME clear")
            undo(name, state)
            state = {}
        elif what == "hide":
            if len(values) != 1 or values[0] not in HIDEABLE:
                fail("usage: lab device-tool NAME hide %s" % "|".join(HIDEABLE))
            key = "hide " + values[0]
            if key in state:
                undo(name, {key: state.pop(key)})
            if is_dropbear(name):
                link = applet_link(name, values[0])
                os.unlink(link)
                state[key] = {"applet": link}
            else:
                state[key] = {"mounts": mount_hidden(name, values[0])}
        else:
            relpath = values[0] if len(values) == 1 else ""
            parts = relpath.split("/")
            if not relpath or relpath.startswith("/") or ".." in parts or "\n" in relpath:
                fail("usage: lab device-tool NAME alter-after-unzip RELPATH (a path relative to "
                     "the folder unzip extracts into, e.g. QMServer/bin/server)")
            key = "alter-after-unzip"
            if key in state:
                undo(name, {key: state.pop(key)})
            if is_dropbear(name):
                link = applet_link(name, "unzip")
                wrapper = ALTERING_UNZIP.format(relpath=relpath, quoted=shlex.quote(relpath),
                                                real="/usr/bin/busybox unzip")
                os.unlink(link)
                with open(link, "w") as f:
                    f.write(wrapper)
                os.chmod(link, 0o755)
                state[key] = {"applet": link, "relpath": relpath}
            else:
                state[key] = {"mounts": mount_altering_unzip(name, relpath), "relpath": relpath}
        write_json(os.path.join(lab_dir(name), STATE), state)
