#include "device/ssh_link.h"

#include <libssh/callbacks.h>

#include <algorithm>

#include "device/device_account.h"
#include "device/request_channel.h"
#include "device/socket.h"
#include "log/run_log.h"
#include "log/run_record.h"
#include "workspace/filesystem.h"

namespace provision {
namespace {

constexpr const char* kDisconnectDescription = "Normal Shutdown";

// Each direction, in this order of preference: the AEAD ciphers encrypt and authenticate a whole
// packet in one pass; CTR (with a MAC) for a device that offers nothing else.
constexpr const char* kCiphers =
    "chacha20-poly1305@openssh.com,aes128-gcm@openssh.com,aes256-gcm@openssh.com,aes128-ctr,"
    "aes256-ctr";

constexpr const char* kSftpSubsystem = "sftp";

// libssh keeps only the low 16 bits of the socket it is handed (ssh_options_set stores
// SSH_OPTIONS_FD masked with 0xffff) and reads, writes, polls and closes that number. A socket
// above it would have libssh work on another descriptor or handle, so it is refused as a socket
// that could not be made. POSIX gives the lowest free descriptor and Winsock small handles, so
// only a process with some 65000 open would meet it.
constexpr socket_t kLargestSocketForLibrary = 0xffff;

// libssh writes nothing to the console, whatever its log level says.
void dropLogMessage(int, const char*, const char*, void*) {}

std::string bothWays(const char* out, const char* in) {
  const std::string sent = out != nullptr ? out : "?";
  const std::string received = in != nullptr ? in : "?";
  if (sent == received) return sent + " both ways";
  return sent + " out, " + received + " in";
}

// The SHA-256 fingerprint of the device's host key ("SHA256:..."), or "unknown".
std::string hostKeyFingerprint(ssh_session session) {
  ssh_key key = nullptr;
  if (ssh_get_server_publickey(session, &key) != SSH_OK) return "unknown";
  unsigned char* hash = nullptr;
  std::size_t length = 0;
  std::string text = "unknown";
  if (ssh_get_publickey_hash(key, SSH_PUBLICKEY_HASH_SHA256, &hash, &length) == SSH_OK) {
    char* fingerprint = ssh_get_fingerprint_hash(SSH_PUBLICKEY_HASH_SHA256, hash, length);
    if (fingerprint != nullptr) text = fingerprint;
    ssh_string_free_char(fingerprint);
    ssh_clean_pubkey_hash(&hash);
  }
  ssh_key_free(key);
  return text;
}

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
  negotiated_.clear();
  posixRenameRefused_ = false;
  sftpReplies_ = sftp::ReplyReader{};

  if (!net::startup()) return kSshSocketLibraryFailed;

  sock_ = net::openTcpSocket();
  if (sock_ == net::kNoSocket || sock_ > kLargestSocketForLibrary)
    return abandonWith(kSshSocketFailed);

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

  if (ssh_init() != SSH_OK) return abandonWith(kSshLibraryInitFailed);
  libraryStarted_ = true;
  if (!newSession(host, user)) return abandonWith(kSshSessionInitFailed);

  DeviceWait handshake = waitForOpenStep();
  socketHandedOver_ = true;
  if (handshake.until([&] { return ssh_connect(session_); }) != SSH_OK) {
    if (handshake.expired()) return stalled("the SSH handshake", handshake.limit());
    return abandonWith(kSshHandshakeFailed);
  }
  const char* kex = ssh_get_kex_algo(session_);
  negotiated_ = "kex " + std::string(kex != nullptr ? kex : "?") + ", cipher " +
                bothWays(ssh_get_cipher_out(session_), ssh_get_cipher_in(session_)) + ", MAC " +
                bothWays(ssh_get_hmac_out(session_), ssh_get_hmac_in(session_)) + ", host key " +
                hostKeyFingerprint(session_);
  const int status = logIn(password);
  if (status == kSshOk) recordFact("link: " + host + " as " + user + ": " + negotiated_);
  return status;
}

bool SshLink::newSession(const std::string& host, const std::string& user) {
  session_ = ssh_new();
  if (session_ == nullptr) return false;
  received_ = ssh_counter_struct{};
  ssh_set_counters(session_, &received_, nullptr);
  ssh_set_log_callback(dropLogMessage);
  const int verbosity = SSH_LOG_NOLOG;
  // The program has never checked the device's host key and reads no configuration of the PC's
  // SSH client: no ssh_config, and known-hosts files that read as empty (libssh reads them to
  // order the host key algorithms).
  const bool processConfig = false;
  socket_t sock = sock_;
  const bool set =
      ssh_options_set(session_, SSH_OPTIONS_LOG_VERBOSITY, &verbosity) == SSH_OK &&
      ssh_options_set(session_, SSH_OPTIONS_PROCESS_CONFIG, &processConfig) == SSH_OK &&
      ssh_options_set(session_, SSH_OPTIONS_SSH_DIR, nullDevice()) == SSH_OK &&
      ssh_options_set(session_, SSH_OPTIONS_KNOWNHOSTS, nullDevice()) == SSH_OK &&
      ssh_options_set(session_, SSH_OPTIONS_GLOBAL_KNOWNHOSTS, nullDevice()) == SSH_OK &&
      ssh_options_set(session_, SSH_OPTIONS_HOST, host.c_str()) == SSH_OK &&
      ssh_options_set(session_, SSH_OPTIONS_USER, user.c_str()) == SSH_OK &&
      ssh_options_set(session_, SSH_OPTIONS_CIPHERS_C_S, kCiphers) == SSH_OK &&
      ssh_options_set(session_, SSH_OPTIONS_CIPHERS_S_C, kCiphers) == SSH_OK &&
      ssh_options_set(session_, SSH_OPTIONS_FD, &sock) == SSH_OK;
  // Every call returns instead of blocking; DeviceWait does the waiting, with limits.
  ssh_set_blocking(session_, 0);
  return set;
}

int SshLink::logIn(const std::string& password) {
  DeviceWait login = waitForOpenStep();
  const int auth = login.until(
      [&] { return ssh_userauth_password(session_, nullptr, password.c_str()); }, SSH_AUTH_AGAIN);
  if (auth != SSH_AUTH_SUCCESS) {
    if (login.expired()) return stalled("the login as " + user_, login.limit());
    return closeWith(kSshAuthFailed);
  }
  return startSftp();
}

int SshLink::startSftp() {
  DeviceWait wait = waitForOpenStep();
  sftp_ = openChannel(wait);
  if (sftp_ != nullptr &&
      wait.until([&] { return ssh_channel_request_subsystem(sftp_, kSftpSubsystem); }) == SSH_OK) {
    // The program speaks SFTP itself on the subsystem's channel, from the version exchange on.
    RequestChannel channel(sftp_, sftpReplies_, sftpRequestId_);
    sftp::Reply version;
    if (channel.exchange(sftp::initRequest(), sftp::kVersionId, wait, version) == Exchange::Done &&
        version.type == sftp::kVersion && version.version >= sftp::kProtocolVersion)
      return kSshOk;
  }
  if (wait.expired()) return stalled("the start of SFTP", wait.limit());
  return closeWith(kSshSftpInitFailed);
}

ssh_channel SshLink::openChannel(DeviceWait& wait) {
  ssh_channel channel = ssh_channel_new(session_);
  if (channel == nullptr) return nullptr;
  if (wait.until([&] { return ssh_channel_open_session(channel); }) != SSH_OK) {
    ssh_channel_free(channel);
    return nullptr;
  }
  return channel;
}

void SshLink::close() {
  if (session_ == nullptr) return;

  if (!socketClosedByLibrary()) {
    // The disconnect goes out behind everything queued before it: libssh drops what the socket
    // has not taken when it disconnects.
    DeviceWait wait = waitFor(waits_.connect);
    if (sftp_ != nullptr) wait.until([&] { return ssh_channel_close(sftp_); });
    if (!wait.expired()) wait.until([&] { return ssh_blocking_flush(session_, 0); });
    if (wait.expired()) {
      stalled("the shutdown of the link", waits_.connect);
      return;
    }
    lookAtSocket();
  }
  if (!socketClosedByLibrary()) {
    ssh_session_set_disconnect_message(session_, kDisconnectDescription);
    ssh_disconnect(session_);
    // ssh_disconnect frees the session's channels, and leaves a socket it was handed open and
    // forgets it.
    sftp_ = nullptr;
    channel_ = nullptr;
    socketHandedOver_ = false;
  }
  abandon();
}

void SshLink::lookAtSocket() {
  // A channel that was never opened has nothing buffered, so polling it takes one look at the
  // socket without waiting.
  ssh_channel probe = ssh_channel_new(session_);
  if (probe == nullptr) return;
  ssh_channel_poll(probe, 0);
  ssh_channel_free(probe);
}

DeviceWait SshLink::waitFor(std::chrono::milliseconds limit, DeviceWait::Progress progress,
                            std::chrono::milliseconds keepalive) const {
  return DeviceWait(session_, sock_, received_, limit, progress, keepalive);
}

std::chrono::milliseconds SshLink::openStepWait() const {
  if (openDeadline_ == DeviceWait::Clock::time_point::max()) return waits_.connect;
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(openDeadline_ - DeviceWait::Clock::now());
  return std::clamp(left, std::chrono::milliseconds::zero(), waits_.connect);
}

DeviceWait SshLink::waitForOpenStep() const {
  return DeviceWait(session_, sock_, received_, openStepWait(), DeviceWait::Progress::AnyByte, {},
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

bool SshLink::socketClosedByLibrary() const {
  return socketHandedOver_ && ssh_get_fd(session_) != sock_;
}

void SshLink::abandon() {
  // libssh closes the socket itself when the device disconnected or the socket failed, and when
  // the session is freed while it still holds it; the program closes it when libssh never had it
  // or gave it back. Either way it is closed once, and never touched after libssh closed it: its
  // number may already belong to another file.
  const bool libraryCloses = socketHandedOver_;
  // With the socket shut down, whatever libssh still sends while it frees its resources fails at
  // once instead of waiting for the device.
  if (!socketClosedByLibrary()) net::shutdownSocket(sock_);
  if (session_ != nullptr) {
    if (channel_ != nullptr) ssh_channel_free(channel_);
    if (sftp_ != nullptr) ssh_channel_free(sftp_);
    ssh_free(session_);
  }
  if (libraryStarted_) ssh_finalize();
  libraryStarted_ = false;
  channel_ = nullptr;
  sftp_ = nullptr;
  session_ = nullptr;
  if (!libraryCloses) net::closeSocket(sock_);
  socketHandedOver_ = false;
  sock_ = net::kNoSocket;
  net::cleanup();
}

int SshLink::abandonWith(int status) {
  abandon();
  return status;
}

int SshLink::closeWith(int status) {
  close();
  return status;
}

}  // namespace provision
