// Winsock 2 under the SSH link.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "device/socket.h"

namespace provision::net {
namespace {

using Clock = std::chrono::steady_clock;

timeval toTimeval(std::chrono::milliseconds timeout) {
  const long long ms = std::max<long long>(timeout.count(), 0);
  timeval value{};
  value.tv_sec = static_cast<long>(ms / 1000);
  value.tv_usec = static_cast<long>(ms % 1000 * 1000);
  return value;
}

}  // namespace

// WSAStartup and WSACleanup are counted by Winsock itself. A failed WSAStartup registers nothing,
// so it is not followed by a WSACleanup, which would drop another link's registration.
bool startup() {
  WSADATA data;
  return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void cleanup() { WSACleanup(); }

socket_t openTcpSocket() {
  SOCKET sock = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  return sock == INVALID_SOCKET ? kNoSocket : sock;
}

bool parseIPv4(const std::string& host, unsigned char address[4]) {
  // InetPtonW stops at an embedded NUL; such a text is not an address.
  if (host.find('\0') != std::string::npos) return false;
  // The address text is widened byte by byte: every valid one is ASCII.
  std::wstring wide;
  for (char c : host) wide += static_cast<wchar_t>(static_cast<unsigned char>(c));
  IN_ADDR parsed{};
  if (InetPtonW(AF_INET, wide.c_str(), &parsed) <= 0) return false;
  std::memcpy(address, &parsed.s_addr, 4);
  return true;
}

// select() rather than WSAPoll: WSAPoll does not report a refused connect on every Windows
// version.
ConnectResult connectWithin(socket_t sock, const unsigned char address[4], int port,
                            std::chrono::milliseconds timeout) {
  u_long nonBlocking = 1;
  // FIONBIO is computed as an unsigned value; ioctlsocket takes it as a long.
  if (ioctlsocket(sock, static_cast<long>(FIONBIO), &nonBlocking) != 0)
    return ConnectResult::Failed;
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(static_cast<u_short>(port));
  std::memcpy(&target.sin_addr.s_addr, address, 4);
  if (::connect(sock, reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0)
    return ConnectResult::Connected;
  if (WSAGetLastError() != WSAEWOULDBLOCK) return ConnectResult::Failed;

  fd_set writable;
  fd_set failed;
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  FD_SET(sock, &writable);
  FD_SET(sock, &failed);
  timeval wait = toTimeval(timeout);
  const int ready = ::select(0, nullptr, &writable, &failed, &wait);
  if (ready == 0) return ConnectResult::TimedOut;
  if (ready < 0 || FD_ISSET(sock, &failed)) return ConnectResult::Failed;
  int error = 0;
  int length = sizeof error;
  if (::getsockopt(sock, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0 ||
      error != 0)
    return ConnectResult::Failed;
  return ConnectResult::Connected;
}

void waitSocket(socket_t sock, bool write, std::chrono::milliseconds timeout) {
  fd_set readable;
  fd_set writable;
  fd_set failed;
  FD_ZERO(&readable);
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  FD_SET(sock, &readable);
  if (write) FD_SET(sock, &writable);
  FD_SET(sock, &failed);
  timeval wait = toTimeval(timeout);
  ::select(0, &readable, &writable, &failed, &wait);
}

void shutdownSocket(socket_t sock) {
  if (sock != kNoSocket) ::shutdown(sock, SD_BOTH);
}

void closeSocket(socket_t sock) {
  if (sock != kNoSocket) ::closesocket(sock);
}

}  // namespace provision::net
