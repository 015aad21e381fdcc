// A lab for one test: a device (sshd) and a package server (FTP) in a private network namespace,
// driven through lab/lab. Needs root.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/process.h"

namespace provision::test {

// Path of the lab tool (lab/lab in the source tree).
std::string labTool();

// `hint` followed by this process's ID, so that parallel test processes never share a lab.
std::string uniqueLabName(const char* hint);

class Lab {
 public:
  // Starts the lab (kind "qm", "zr" or "none": which root password the device accepts; ssh
  // "openssh", or "dropbear" for a unit with Dropbear and BusyBox's tools; ftp "pyftpdlib", or
  // "vsftpd" for Debian's vsftpd as the package server), owned by this process: should the
  // process die without stopping it, `lab/lab prune` stops it.
  explicit Lab(std::string name, std::string kind = "qm", std::string ssh = "openssh",
               std::string ftp = "pyftpdlib");
  // Stops the lab and removes its folder; with PROVISION_KEEP_LAB=1 in the environment the lab
  // stays for inspection (stop it with `lab/lab stop NAME`).
  ~Lab();
  Lab(const Lab&) = delete;
  Lab& operator=(const Lab&) = delete;

  bool ok() const { return !dir_.empty(); }
  // What the lab tool wrote to standard error when the start failed.
  const std::string& startError() const { return startError_; }
  const std::string& name() const { return name_; }
  // The lab folder, e.g. /var/tmp/provision-lab/NAME.
  const std::string& dir() const { return dir_; }
  // The machine's path of a device path under /opt, /root, /home, /tmp or /var/log
  // ("opt/x" and "/opt/x" both give DIR/device/opt/x).
  std::string devicePath(const std::string& path) const;
  // The package server's root folder (the server path "/" ).
  std::string ftpRoot() const;
  // The device's sshd log (OpenSSH's wording) and the package server's log, as they are now.
  std::string sshdLog() const;
  // Waits up to five seconds until the sshd log holds `count` occurrences of `needle`; returns
  // the count it saw last.
  int waitForSshdLog(const std::string& needle, int count) const;
  std::string ftpLog() const;

  // Runs a shell command line as root inside the device.
  ProcessResult device(const std::string& shellCommand, double timeoutSeconds = 120) const;
  // Runs a program in the lab's network namespace (the machine's file system).
  ProcessResult run(const std::vector<std::string>& argv, const std::string& cwd = "",
                    double timeoutSeconds = 600) const;

  bool ftpDown() const;
  bool ftpUp() const;
  // One fault switch: {"refuse-login"}, {"drop-after", "BYTES", "/server/path"},
  // {"stop-after", "BYTES", "/server/path"}, {"refuse-retr", "N"}, {"refuse-size-mdtm"},
  // {"throttle", "BYTES_PER_SECOND"}, {"max-per-address", "N"} (an address holds at most N control
  // connections; one more gets 421) or {"clear"}; or {"rebuild", "/server/path.zip"}, which
  // rebuilds that archive to its own size with a newer time, and {"rebuild", "/server/path.zip",
  // "--keep-time"}, which keeps its old time.
  bool ftpFault(const std::vector<std::string>& args) const;
  // Removes the device's address from the lab network (connections to it fail at once), and
  // puts it back.
  bool unplugDevice() const;
  bool plugDevice() const;
  // Stops (SIGSTOP) the device's SSH server processes ("device") or the package server ("ftp"):
  // their connections stay open and their kernel still acknowledges data, but nothing answers.
  // resume() continues them (the package server also after a stop-after fault).
  bool hang(const std::string& peer) const;
  bool resume(const std::string& peer) const;
  // Hangs the device's SSH server as soon as the device file `devicePath` holds `bytes` bytes, in
  // the middle of an upload to it (a watcher of the lab's polls every few milliseconds).
  bool hangDeviceAfter(std::int64_t bytes, const std::string& devicePath) const;
  // Drops every packet to and from the device's address, as for a device that is switched off or
  // unplugged on a real network (no refusal, no answer at all); powerOn() stops dropping.
  bool powerOff() const;
  bool powerOn() const;
  // Switches the device off as soon as the device file `devicePath` holds `bytes` bytes.
  bool powerOffAfter(std::int64_t bytes, const std::string& devicePath) const;
  // A device whose SSH server restarts: for `seconds`, new TCP connections to it are refused at
  // once (a reset), then accepted again; connections already open go on. refuseSshAfter() starts
  // the refusal as soon as the device file `devicePath` holds `bytes` bytes; acceptSsh() ends a
  // refusal at once, or one still to start.
  bool refuseSsh(double seconds) const;
  bool refuseSshAfter(std::int64_t bytes, const std::string& devicePath, double seconds) const;
  bool acceptSsh() const;
  // A PC's firewall that drops the package server's connections back (active FTP), and none.
  bool blockConnectBack() const;
  bool clearFirewall() const;
  // Gives the lab folder `folder` a disk of `bytes` that fills up, or a read-only one; unmount()
  // gives it back. Stopping the lab unmounts whatever is left.
  bool mountFull(const std::string& folder, std::int64_t bytes) const;
  bool mountReadOnly(const std::string& folder) const;
  bool unmount(const std::string& folder) const;
  // Switches on the device's own tools, on either kind of device: {"hide", "sha256sum"} (run on
  // the device, it fails as a missing command does: status 127, "not found" on standard error);
  // {"alter-after-unzip", "RELPATH"} (unzip works and ends as usual, and once it has succeeded
  // the middle byte of the extracted file RELPATH, under the folder it unpacked into, is
  // inverted); {"clear"} undoes both.
  bool deviceTool(const std::vector<std::string>& args) const;
  // The OpenSSH device offers only `ciphers` (comma-separated) to new connections; "default"
  // gives it its own list again.
  bool sshCiphers(const std::string& ciphers) const;
  // Lays out content: {"packages"}, {"packages", "--flipped-byte"}, {"device-qm"},
  // {"device-zr", "--unit", "u51"}, {"device-zr", "--no-uid", "--fix-exit", "3"}.
  ProcessResult fixture(const std::vector<std::string>& args) const;

 private:
  ProcessResult tool(std::vector<std::string> args, double timeoutSeconds = 120) const;

  std::string name_;
  std::string dir_;
  std::string startError_;
};

// Moves the calling thread into the lab's network namespace for its lifetime, so that code under
// test can reach the device and the package server at their usual addresses.
class NetnsScope {
 public:
  explicit NetnsScope(const Lab& lab);
  ~NetnsScope();
  NetnsScope(const NetnsScope&) = delete;
  NetnsScope& operator=(const NetnsScope&) = delete;

  bool ok() const { return entered_; }

 private:
  int original_ = -1;
  bool entered_ = false;
};

}  // namespace provision::test
