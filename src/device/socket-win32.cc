// Winsock 2 under the SSH link.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>
#include <string>

#include "device/socket.h"

namespace provision::net {

// WSAStartup and WSACleanup are counted by Winsock itself. A failed WSAStartup registers nothing,
// so it is not followed by a WSACleanup, which would drop another link's registration.
bool startup() {
  WSADATA data;
  return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void cleanup() { WSACleanup(); }

libssh2_socket_t openTcpSocket() {
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

bool connectTo(libssh2_socket_t sock, const unsigned char address[4], int port) {
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(static_cast<u_short>(port));
  std::memcpy(&target.sin_addr.s_addr, address, 4);
  return ::connect(sock, reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0;
}

void closeSocket(libssh2_socket_t sock) {
  if (sock != kNoSocket) ::closesocket(sock);
}

}  // namespace provision::net
