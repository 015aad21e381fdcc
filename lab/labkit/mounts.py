"""Disks for folders inside the lab folder (a technician's PC folder, say): full or read-only."""

import os
import subprocess

from labkit.errors import fail
from labkit.kernel import run
from labkit.state import lab_dir


def mount_folder(name, kind, given, size):
    """kind "full" gives the folder a tmpfs of `size` bytes, "read-only" a read-only bind of
    itself, "unmount" takes either away."""
    folder = os.path.realpath(given)
    if not folder.startswith(os.path.realpath(lab_dir(name)) + "/"):
        fail("mount: %s is not inside the lab folder" % given)
    os.makedirs(folder, exist_ok=True)
    if kind == "full":
        if not size or not size.isdigit():
            fail("usage: lab mount NAME full FOLDER BYTES")
        run(["mount", "-t", "tmpfs", "-o", "size=%s,mode=0777" % size, "tmpfs", folder])
    elif kind == "read-only":
        run(["mount", "--bind", folder, folder])
        run(["mount", "-o", "remount,bind,ro", folder])
    else:
        run(["umount", "-l", folder])


def lab_mounts(name):
    """The mount points inside the lab folder, deepest first."""
    dir = os.path.realpath(lab_dir(name)) + "/"
    points = []
    with open("/proc/self/mountinfo") as f:
        for line in f:
            point = line.split()[4].replace("\\040", " ")
            if point.startswith(dir):
                points.append(point)
    return sorted(points, key=len, reverse=True)


def unmount_all(name):
    for point in lab_mounts(name):
        subprocess.run(["umount", "-l", point], stderr=subprocess.DEVNULL)
