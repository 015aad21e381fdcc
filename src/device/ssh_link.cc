#include "device/ssh_link.h"

#include "device/device_account.h"
#include "device/socket.h"

namespace provision {
namespace {

// The SSH protocol's reason code for a disconnect by the application.
constexpr int kDisconnectByApplication = SSH_DISCONNECT_BY_APPLICATION;
constexpr const char* kDisconnectDescription = "Normal Shutdown";

}  // namespace

SshLink::SshLink() : sock_(net::kNoSocket) {}

SshLink::~SshLink() { close(); }

int SshLink::open(const std::string& host, const std::string& user, const std::string& password) {
  // Opening a link that is still open drops the old connection first, so nothing leaks.
  close();

  if (!net::startup()) return kSshSocketLibraryFailed;

  sock_ = net::openTcpSocket();
  if (sock_ == net::kNoSocket) {
    releaseSocket();
    return kSshSocketFailed;
  }

  unsigned char address[4];
  if (!net::parseIPv4(host, address)) {
    releaseSocket();
    return kSshBadAddress;
  }

  if (!net::connectTo(sock_, address, kSshPort)) {
    releaseSocket();
    return kSshConnectFailed;
  }

  if (libssh2_init(0) != 0) {
    releaseSocket();
    return kSshLibraryInitFailed;
  }

  session_ = libssh2_session_init_ex(nullptr, nullptr, nullptr, nullptr);
  if (session_ == nullptr) {
    libssh2_exit();
    releaseSocket();
    return kSshSessionInitFailed;
  }

  if (libssh2_session_handshake(session_, sock_) != 0) {
    libssh2_session_free(session_);
    session_ = nullptr;
    libssh2_exit();
    releaseSocket();
    return kSshHandshakeFailed;
  }

  if (libssh2_userauth_password_ex(session_, user.data(), static_cast<unsigned>(user.size()),
                                   password.data(), static_cast<unsigned>(password.size()),
                                   nullptr) != 0) {
    close();
    return kSshAuthFailed;
  }

  sftp_ = libssh2_sftp_init(session_);
  if (sftp_ == nullptr) {
    close();
    return kSshSftpInitFailed;
  }
  return kSshOk;
}

void SshLink::close() {
  if (session_ == nullptr) return;

  if (remoteFile_ != nullptr) {
    libssh2_sftp_close_handle(remoteFile_);
    remoteFile_ = nullptr;
  }
  if (sftp_ != nullptr) {
    libssh2_sftp_shutdown(sftp_);
    sftp_ = nullptr;
  }
  libssh2_session_disconnect_ex(session_, kDisconnectByApplication, kDisconnectDescription, "");
  libssh2_session_free(session_);
  session_ = nullptr;
  libssh2_exit();
  releaseSocket();
}

void SshLink::releaseSocket() {
  net::closeSocket(sock_);
  sock_ = net::kNoSocket;
  net::cleanup();
}

}  // namespace provision
