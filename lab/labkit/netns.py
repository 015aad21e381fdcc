"""The lab's network namespace: a loopback with 127.0.0.1 and the device's and the package
server's addresses, and the nftables inside it."""

import os
import subprocess

from labkit import kernel
from labkit.kernel import run
from labkit.state import DEVICE_HOST, FTP_HOST

NETNS_PREFIX = "provlab-"


def netns_name(name):
    return NETNS_PREFIX + name


def netns_path(name):
    return "/run/netns/" + netns_name(name)


def create(name):
    run(["ip", "netns", "add", netns_name(name)])
    ns = ["ip", "-n", netns_name(name)]
    run(ns + ["link", "set", "lo", "up"])
    for host in (FTP_HOST, DEVICE_HOST):
        run(ns + ["addr", "add", host + "/32", "dev", "lo"])


def delete(name):
    if os.path.exists(netns_path(name)):
        run(["ip", "netns", "delete", netns_name(name)])


def enter(name):
    """Moves the calling process (thread) into the lab's network namespace."""
    kernel.setns(netns_path(name), kernel.CLONE_NEWNET)


def nft_in(name):
    """The nft command line in the lab's network, and whether `table` exists there."""
    nft = ["ip", "netns", "exec", netns_name(name), "nft"]
    return nft, lambda table: subprocess.run(
        nft + ["list", "table", "ip", table], stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL).returncode == 0


def device_address_present(name):
    return DEVICE_HOST + "/32" in run(["ip", "-n", netns_name(name), "addr", "show", "dev", "lo"])


def set_device_address(name, present):
    """Adds or removes the device's address (nothing when it is so already)."""
    ns = ["ip", "-n", netns_name(name), "addr"]
    now = device_address_present(name)
    if present and not now:
        run(ns + ["add", DEVICE_HOST + "/32", "dev", "lo"])
    elif not present and now:
        run(ns + ["del", DEVICE_HOST + "/32", "dev", "lo"])
