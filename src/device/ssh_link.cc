#include "device/ssh_link.h"

#include <algorithm>

#include "device/device_account.h"
#include "device/socket.h"
#include "log/run_log.h"

namespace provision {
namespace {

// The SSH protocol's reason code for a disconnect by the application.
constexpr int kDisconnectByApplication = SSH_DISCONNECT_BY_APPLICATION;
constexpr const char* kDisconnectDescription = "Normal Shutdown";

// libssh2 sends a keepalive request only when its interval passed since the last one (whole
// seconds, at least two); the link's own interval decides when it asks.
constexpr int kKeepaliveWantReply = 1;
constexpr unsigned kKeepaliveLibraryInterval = 2;

}  // namespace

SshLink::SshLink(const LinkWaits& waits) : waits_(waits), sock_(net::kNoSocket) {}

SshLink::~SshLink() { close(); }

int SshLink::open(const std::string& host, const std::string& user, const std::string& password) {
  return open(host, user, password, DeviceWait::Clock::time_point::max());
}

int SshLink::open(const std::string& host, const std::string& user, const std::string& password,
                  DeviceWait::Clock::time_point deadline) {
  // Opening a link that is still open drops the old connection first, so nothing leaks. A link
  // whose device stopped answering tries afresh.
  close();
  openDeadline_ = deadline;
  stalled_ = false;
  user_ = user;
  posixRenameRefused_ = false;
  sftpReplies_ = sftp::ReplyReader{};

  if (!net::startup()) return kSshSocketLibraryFailed;

  sock_ = net::openTcpSocket();
  if (sock_ == net::kNoSocket) return abandonWith(kSshSocketFailed);

  unsigned char address[4];
  if (!net::parseIPv4(host, address)) return abandonWith(kSshBadAddress);

  const std::chrono::milliseconds connectWait = openStepWait();
  switch (net::connectWithin(sock_, address, kSshPort, connectWait)) {
    case net::ConnectResult::Connected:
      break;
    case net::ConnectResult::TimedOut:
      return stalled("the connection", connectWait);
    case net::ConnectResult::Failed:
      return abandonWith(kSshConnectFailed);
  }

  if (libssh2_init(0) != 0) return abandonWith(kSshLibraryInitFailed);
  libraryStarted_ = true;
  session_ = libssh2_session_init_ex(nullptr, nullptr, nullptr, nullptr);
  if (session_ == nullptr) return abandonWith(kSshSessionInitFailed);
  // Every call returns instead of blocking; DeviceWait does the waiting, with limits.
  libssh2_session_set_blocking(session_, 0);
  libssh2_keepalive_config(session_, kKeepaliveWantReply, kKeepaliveLibraryInterval);

  DeviceWait handshake = waitForOpenStep();
  if (handshake.until([&] { return libssh2_session_handshake(session_, sock_); }) != 0) {
    if (handshake.expired()) return stalled("the SSH handshake", handshake.limit());
    return abandonWith(kSshHandshakeFailed);
  }
  return logIn(user, password);
}

int SshLink::logIn(const std::string& user, const std::string& password) {
  DeviceWait login = waitForOpenStep();
  if (login.until([&] {
        return libssh2_userauth_password_ex(session_, user.data(),
                                            static_cast<unsigned>(user.size()), password.data(),
                                            static_cast<unsigned>(password.size()), nullptr);
      }) != 0) {
    if (login.expired()) return stalled("the login as " + user, login.limit());
    return closeWith(kSshAuthFailed);
  }

  DeviceWait sftpStart = waitForOpenStep();
  sftp_ = sftpStart.until([&] { return libssh2_sftp_init(session_); });
  if (sftp_ == nullptr) {
    if (sftpStart.expired()) return stalled("the start of SFTP", sftpStart.limit());
    return closeWith(kSshSftpInitFailed);
  }
  return kSshOk;
}

void SshLink::close() {
  if (session_ == nullptr) return;

  DeviceWait wait = waitFor(waits_.connect);
  if (sftp_ != nullptr) {
    wait.until([&] { return libssh2_sftp_shutdown(sftp_); });
    if (!wait.expired()) sftp_ = nullptr;
  }
  if (!wait.expired()) {
    wait.until([&] {
      return libssh2_session_disconnect_ex(session_, kDisconnectByApplication,
                                           kDisconnectDescription, "");
    });
  }
  if (wait.expired()) {
    stalled("the shutdown of the link", waits_.connect);
    return;
  }
  abandon();
}

DeviceWait SshLink::waitFor(std::chrono::milliseconds limit, DeviceWait::Progress progress,
                            std::chrono::milliseconds keepalive) const {
  return DeviceWait(session_, sock_, limit, progress, keepalive);
}

std::chrono::milliseconds SshLink::openStepWait() const {
  if (openDeadline_ == DeviceWait::Clock::time_point::max()) return waits_.connect;
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(openDeadline_ - DeviceWait::Clock::now());
  return std::clamp(left, std::chrono::milliseconds::zero(), waits_.connect);
}

DeviceWait SshLink::waitForOpenStep() const {
  return DeviceWait(session_, sock_, openStepWait(), DeviceWait::Progress::AnyByte, {},
                    openDeadline_);
}

int SshLink::stalled(const std::string& step, std::chrono::milliseconds waited) {
  writeLog("The device stopped answering during " + step + " (no reply for " +
               formatSeconds(waited) + ")",
           kLogError);
  abandon();
  stalled_ = true;
  return kSshStalled;
}

void SshLink::abandon() {
  // With the socket shut down, whatever libssh2 still sends while it frees its resources fails at
  // once instead of waiting for the device.
  net::shutdownSocket(sock_);
  if (session_ != nullptr) {
    if (channel_ != nullptr) libssh2_channel_free(channel_);
    if (sftp_ != nullptr) libssh2_sftp_shutdown(sftp_);
    libssh2_session_free(session_);
  }
  if (libraryStarted_) libssh2_exit();
  libraryStarted_ = false;
  channel_ = nullptr;
  sftp_ = nullptr;
  session_ = nullptr;
  releaseSocket();
}

int SshLink::abandonWith(int status) {
  abandon();
  return status;
}

int SshLink::closeWith(int status) {
  close();
  return status;
}

void SshLink::releaseSocket() {
  net::closeSocket(sock_);
  sock_ = net::kNoSocket;
  net::cleanup();
}

}  // namespace provision
