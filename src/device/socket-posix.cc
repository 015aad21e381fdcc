#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "device/socket.h"

namespace provision::net {
namespace {

using Clock = std::chrono::steady_clock;

int pollMilliseconds(std::chrono::milliseconds timeout) {
  return static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(timeout.count(), 0, INT_MAX));
}

}  // namespace

// POSIX sockets need no process-wide registration.
bool startup() { return true; }
void cleanup() {}

socket_t openTcpSocket() {
  int sock = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  return sock < 0 ? kNoSocket : sock;
}

bool parseIPv4(const std::string& host, unsigned char address[4]) {
  // inet_pton stops at an embedded NUL; such a text is not an address.
  if (host.find('\0') != std::string::npos) return false;
  in_addr parsed{};
  if (::inet_pton(AF_INET, host.c_str(), &parsed) != 1) return false;
  std::memcpy(address, &parsed.s_addr, 4);
  return true;
}

ConnectResult connectWithin(socket_t sock, const unsigned char address[4], int port,
                            std::chrono::milliseconds timeout) {
  const int flags = ::fcntl(sock, F_GETFL);
  if (flags < 0 || ::fcntl(sock, F_SETFL, flags | O_NONBLOCK) != 0) return ConnectResult::Failed;
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(static_cast<uint16_t>(port));
  std::memcpy(&target.sin_addr.s_addr, address, 4);
  if (::connect(sock, reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0)
    return ConnectResult::Connected;
  if (errno != EINPROGRESS) return ConnectResult::Failed;

  const Clock::time_point deadline = Clock::now() + timeout;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd entry{sock, POLLOUT, 0};
    const int ready = ::poll(&entry, 1, pollMilliseconds(left));
    if (ready > 0) break;
    if (ready < 0 && errno != EINTR) return ConnectResult::Failed;
    if (Clock::now() >= deadline) return ConnectResult::TimedOut;
  }
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(sock, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0)
    return ConnectResult::Failed;
  return ConnectResult::Connected;
}

void waitSocket(socket_t sock, bool write, std::chrono::milliseconds timeout) {
  pollfd entry{sock, static_cast<short>(POLLIN | (write ? POLLOUT : 0)), 0};
  ::poll(&entry, 1, pollMilliseconds(timeout));
}

void shutdownSocket(socket_t sock) {
  if (sock != kNoSocket) ::shutdown(sock, SHUT_RDWR);
}

void closeSocket(socket_t sock) {
  if (sock != kNoSocket) ::close(sock);
}

}  // namespace provision::net
