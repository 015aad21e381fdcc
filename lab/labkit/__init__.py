"""The provision lab as a package: each module does one job (see lab/README.md).

errors          the one error the command line reports
kernel          system calls through ctypes (mount, unshare, setns, sethostname) and commands
state           the lab folder, pids.json, locks, names, waiting for and ending recorded processes
netns           the lab's network namespace and the nftables in it
device          the measuring device: its accounts, root and PID 1
openssh         its SSH server as OpenSSH's sshd, with the machine's tools
dropbear        its SSH server as Dropbear, with BusyBox's tools
busybox         the BusyBox tools of a Dropbear device
package_server  starting and stopping the FTP server (ftp_server.py is the server itself)
faults          the fault switches: FTP faults, hung peers, power, firewall, address, watchers
mounts          small or read-only disks for folders inside the lab folder
labs            a whole lab: start, stop, list, prune
fixtures        the content of the package server and of the device
"""
