// One password-authenticated SSH connection to the device with its SFTP subsystem.
#pragma once

#include <libssh/libssh.h>

#include <chrono>
#include <fstream>
#include <string>

#include "device/device_wait.h"
#include "device/sftp_protocol.h"

namespace provision {

// Status codes of SshLink operations. 0 is success; each failure names the step that failed.
enum SshStatus : int {
  kSshOk = 0,
  kSshSocketLibraryFailed = -1,  // Windows only: WSAStartup
  kSshSocketFailed = -2,
  kSshBadAddress = -3,
  kSshConnectFailed = -4,
  kSshLibraryInitFailed = -5,
  kSshSessionInitFailed = -6,
  kSshHandshakeFailed = -7,
  kSshAuthFailed = -8,
  kSshSftpInitFailed = -9,
  kSshChannelFailed = -10,
  kSshExecFailed = -11,
  kSshRemoteOpenFailed = -12,
  kSshLocalOpenFailed = -13,
  kSshWriteFailed = -14,
  // The device stopped answering: a step waited its whole limit without a reply (see LinkWaits).
  // Every later operation on the link fails with it at once, until open() tries afresh.
  kSshStalled = -15,
  // A file that arrived whole could not take its name on the device.
  kSshRenameFailed = -16,
};

// How long a link waits for the device before it counts it as no longer answering.
struct LinkWaits {
  // Each step of opening and of shutting down a link: the TCP connect, the SSH handshake, the
  // login, the start of SFTP, the orderly disconnect.
  std::chrono::milliseconds connect{10000};
  // An upload: no write acknowledged for this long.
  std::chrono::milliseconds transfer{30000};
  // A remote command: no byte at all from the device for this long. A command may run silently
  // as long as it needs: the keepalive requests keep a live device answering.
  std::chrono::milliseconds silence{30000};
  // While a command runs: a keepalive request with a reply expected, this often (the silence
  // limit must be well above it, so that a live device has the time to answer).
  std::chrono::milliseconds keepalive{5000};
};

// The exit status of a command that did not end with one.
inline constexpr int kNoExitStatus = -1;

class SshLink {
 public:
  explicit SshLink(const LinkWaits& waits = LinkWaits{});
  // Shuts down a link whose open() succeeded.
  ~SshLink();
  SshLink(const SshLink&) = delete;
  SshLink& operator=(const SshLink&) = delete;

  // Connects to `host` (dotted IPv4) on port 22, logs in with the password and starts SFTP.
  // Returns 0, -1 to -9, or -15 when the device did not answer a step in time; on failure nothing
  // that this call set up is still held.
  int open(const std::string& host, const std::string& user, const std::string& password);
  // The same, but given up at `deadline` whatever each step's own wait would still allow: a caller
  // that tries again at fixed times keeps each attempt within its time.
  int open(const std::string& host, const std::string& user, const std::string& password,
           DeviceWait::Clock::time_point deadline);

  // Orderly teardown of the session and the socket.
  void close();

  bool isOpen() const { return sftp_ != nullptr; }

  // What the last open() negotiated, for the run record: key exchange, ciphers, MAC and the
  // device's host key ("kex curve25519-sha256, cipher chacha20-poly1305@openssh.com both ways,
  // MAC aead-poly1305, host key SHA256:..."). Empty when no link was opened.
  const std::string& negotiated() const { return negotiated_; }

  // Runs one shell command line and appends what it writes to standard output to `output`.
  // Returns 0, -10 (no channel, or the link is not open), -11 (exec refused) or -15. Every
  // command goes into the run record with its exit status.
  int runCommand(const std::string& command, std::string& output);
  // The same, and `exitStatus` receives the command's exit status as the device reported it once
  // the command ended, or kNoExitStatus when there is none: the command did not run to its end
  // (the call failed, or a signal ended it).
  int runCommand(const std::string& command, std::string& output, int& exitStatus);

  // Copies a local file to `remotePath` on the device, replacing it; with `showProgress` the
  // progress text goes to standard output. Returns 0, -12 (link not open or remote open failed),
  // -13 (local file cannot be opened), -14 (a write failed) or -15. With a `temporaryPath` the
  // data goes there instead, to take its name later (renameFile()); the messages and the run
  // record still name `remotePath`.
  int uploadFile(const std::string& localPath, const std::string& remotePath, bool showProgress,
                 const std::string& temporaryPath = {});

  // Renames the device file `from` to `to`, replacing a file there: in one step where the
  // device's SFTP server offers it (posix-rename), else by removing the old file first. Returns
  // 0, -12 (the link is not open), -15 or -16 (the device refused).
  int renameFile(const std::string& from, const std::string& to);

  // Removes the device file `path`; true when it is gone (or was never there).
  bool removeFile(const std::string& path);

 private:
  DeviceWait waitFor(std::chrono::milliseconds limit,
                     DeviceWait::Progress progress = DeviceWait::Progress::AnyByte,
                     std::chrono::milliseconds keepalive = {}) const;
  // The wait of one step of open(): the connect wait, or what is left until the open's deadline
  // when that is sooner.
  std::chrono::milliseconds openStepWait() const;
  DeviceWait waitForOpenStep() const;
  // Reports that the device stopped answering during `step`, drops the connection without
  // waiting for the device again, and returns kSshStalled.
  int stalled(const std::string& step, std::chrono::milliseconds waited);
  // Releases the session and the socket without a word to the device.
  void abandon();
  // The one way out of a failed open(): everything it set up released, without a word to the
  // device (abandonWith) or, once logged in or refused, with an orderly disconnect (closeWith).
  int abandonWith(int status);
  int closeWith(int status);
  // The session on the connected socket, non-blocking, with the link's algorithms.
  bool newSession(const std::string& host, const std::string& user);
  // The second half of open(): the login as user_ and the start of SFTP.
  int logIn(const std::string& password);
  int startSftp();
  // A new session channel, open: nullptr when the device refused it or the wait expired.
  ssh_channel openChannel(DeviceWait& wait);
  // Lets libssh take one look at the socket. libssh writes a packet at once only when a look
  // since its last write found the socket writable; else the packet waits for the next look, and
  // the disconnect, the last packet of all, would never go out.
  void lookAtSocket();
  // Whether libssh closed the socket it was handed (it does so when the device disconnects, and
  // on a socket error).
  bool socketClosedByLibrary() const;
  // uploadFile without its entry in the run record; `step` names the upload in messages.
  int sendFile(const std::string& localPath, const std::string& remotePath, bool showProgress,
               const std::string& step);
  // Sends one SFTP request that a status reply answers; `status` receives its code. kSshOk, -12
  // (not open, or the reply was none) or -15.
  int requestStatus(const std::string& step, const std::string& request, std::uint32_t id,
                    std::uint32_t& status);
  // runCommand without its entry in the run record.
  int execute(const std::string& command, std::string& output, int& exitStatus);
  // Reads what the command on channel_ writes until the end of its output: standard output into
  // `output`, standard error dropped. False when the channel failed first.
  bool readOutput(DeviceWait& wait, std::string& output);
  // The exit status of the command on channel_: what the device reported before it closed the
  // channel, or kNoExitStatus.
  int awaitExitStatus(DeviceWait& wait);
  // Closes and frees channel_.
  void releaseChannel();

  LinkWaits waits_;
  // The account of the last open(), as the run record names it.
  std::string user_;
  // When the open() under way gives up, whatever its steps' waits.
  DeviceWait::Clock::time_point openDeadline_ = DeviceWait::Clock::time_point::max();
  bool stalled_ = false;
  // Whether ssh_init() was called for this link's session, to be matched by ssh_finalize().
  bool libraryStarted_ = false;
  // Whether the socket was handed to libssh (ssh_connect); from then on libssh may close it.
  bool socketHandedOver_ = false;
  socket_t sock_;
  ssh_session session_ = nullptr;
  // What libssh read from and wrote to the socket (ssh_set_counters), for the waits.
  ssh_counter_struct received_{};
  // The SFTP subsystem's channel, and the channel of the command under way.
  ssh_channel sftp_ = nullptr;
  ssh_channel channel_ = nullptr;
  std::string negotiated_;
  // Uploads write their SFTP requests on the SFTP channel themselves: the replies come back here,
  // and the requests are numbered per link.
  sftp::ReplyReader sftpReplies_;
  std::uint32_t sftpRequestId_ = 1;
  // Whether the device's SFTP server refused the posix-rename extension once.
  bool posixRenameRefused_ = false;
  std::ifstream localFile_;
};

}  // namespace provision
