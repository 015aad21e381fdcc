// One password-authenticated SSH connection to the device with its SFTP subsystem.
#pragma once

#include <libssh2.h>
#include <libssh2_sftp.h>

#include <fstream>
#include <string>

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
};

class SshLink {
 public:
  SshLink();
  // Shuts down a link whose open() succeeded.
  ~SshLink();
  SshLink(const SshLink&) = delete;
  SshLink& operator=(const SshLink&) = delete;

  // Connects to `host` (dotted IPv4) on port 22, logs in with the password and starts SFTP.
  // Returns 0 or -1 to -9; on failure nothing that this call set up is still held.
  int open(const std::string& host, const std::string& user, const std::string& password);

  // Orderly teardown of the session and the socket.
  void close();

  bool isOpen() const { return sftp_ != nullptr; }

  // Runs one shell command line and appends what it writes to standard output to `output`.
  // Returns 0, -10 (no channel, or the link is not open) or -11 (exec refused).
  int runCommand(const std::string& command, std::string& output);

  // Copies a local file to `remotePath` on the device, replacing it; with `showProgress` the
  // progress text goes to standard output. Returns 0, -12 (link not open or remote open failed),
  // -13 (local file cannot be opened) or -14 (a write failed).
  int uploadFile(const std::string& localPath, const std::string& remotePath, bool showProgress);

 private:
  void releaseSocket();
  // uploadFile without its entry in the run record.
  int sendFile(const std::string& localPath, const std::string& remotePath, bool showProgress);

  libssh2_socket_t sock_;
  LIBSSH2_SESSION* session_ = nullptr;
  LIBSSH2_SFTP* sftp_ = nullptr;
  LIBSSH2_CHANNEL* channel_ = nullptr;
  LIBSSH2_SFTP_HANDLE* remoteFile_ = nullptr;
  std::ifstream localFile_;
};

// Tells a QM from a ZR unit by the root password the device accepts, prints "QM" or "ZR" and
// sets settings.deviceKind. Returns 0, or 1 when neither password is accepted.
int probeDeviceKind();

}  // namespace provision
