"""The tools of a BusyBox unit. In the device, /usr/bin and /usr/sbin (so /bin and /sbin too)
hold BusyBox's applets as `busybox --install` lays them out, and /usr/local/bin, /usr/local/sbin
and the games folders are empty: every folder of the PATH that Dropbear gives a session finds an
applet first, and nothing of this machine's own tools. Debian's BusyBox has no pgrep or pkill, so
procps's stand beside the applets, as on many units; so does each program that the device runs
(its SSH server). The programs are this machine's own files, bound read-only over placeholders."""

import os

from labkit.kernel import bind_mount, run

BUSYBOX = "/bin/busybox"
FOLDER = "busybox"  # in the lab folder: bin/ and sbin/ (the device's /usr/bin and /usr/sbin), empty/
# Programs beside the applets: the device's path, this machine's file.
PROGRAMS = {"/usr/bin/busybox": BUSYBOX, "/usr/bin/pgrep": "/usr/bin/pgrep"}
LINKS = {"/usr/bin/pkill": "pgrep"}  # procps's pkill is its pgrep under another name
EMPTY_FOLDERS = ("/usr/local/bin", "/usr/local/sbin", "/usr/games", "/usr/local/games")


def lab_path(dir, device_path):
    """Where a file of the device's /usr/bin or /usr/sbin lies in the lab folder."""
    folder, name = os.path.split(device_path)
    return os.path.join(dir, FOLDER, {"/usr/bin": "bin", "/usr/sbin": "sbin"}[folder], name)


def write_tree(dir, programs):
    """The device's /usr/bin and /usr/sbin: a link to BusyBox for each applet, placeholders for
    `programs` ({device path: machine path}) and for PROGRAMS."""
    for folder in ("bin", "sbin", "empty"):
        os.makedirs(os.path.join(dir, FOLDER, folder))
    for path in run([BUSYBOX, "--list-full"]).split():
        if "/" not in path:
            continue  # linuxrc, which belongs in the root folder
        folder = "/usr/sbin" if path.startswith(("sbin/", "usr/sbin/")) else "/usr/bin"
        os.symlink("/usr/bin/busybox", lab_path(dir, folder + "/" + os.path.basename(path)))
    for device_path, target in LINKS.items():
        link = lab_path(dir, device_path)
        if os.path.lexists(link):
            os.unlink(link)
        os.symlink(target, link)
    for device_path in list(PROGRAMS) + list(programs):
        placeholder = lab_path(dir, device_path)
        if os.path.lexists(placeholder):
            os.unlink(placeholder)
        open(placeholder, "w").close()


def mount_tree(dir, root, programs):
    """Puts the tree in place in the device's root (in its mount namespace, before chroot)."""
    base = os.path.join(dir, FOLDER)
    folders = [("/usr/bin", "bin"), ("/usr/sbin", "sbin")]
    for merged in ("bin", "sbin"):  # a machine without a merged /usr
        if not os.path.islink("/" + merged):
            folders.append(("/" + merged, merged))
    for device_folder, folder in folders:
        bind_mount(os.path.join(base, folder), root + device_folder, read_only=True)
    for device_folder in EMPTY_FOLDERS:
        if os.path.isdir(root + device_folder):
            bind_mount(os.path.join(base, "empty"), root + device_folder, read_only=True)
    for device_path, machine_path in list(PROGRAMS.items()) + list(programs.items()):
        bind_mount(machine_path, root + device_path, read_only=True)
