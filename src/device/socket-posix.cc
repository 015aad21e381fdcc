#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "device/socket.h"

namespace provision::net {

// POSIX sockets need no process-wide registration.
bool startup() { return true; }
void cleanup() {}

libssh2_socket_t openTcpSocket() {
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

bool connectTo(libssh2_socket_t sock, const unsigned char address[4], int port) {
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(static_cast<uint16_t>(port));
  std::memcpy(&target.sin_addr.s_addr, address, 4);
  return ::connect(sock, reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0;
}

void closeSocket(libssh2_socket_t sock) {
  if (sock != kNoSocket) ::close(sock);
}

}  // namespace provision::net
