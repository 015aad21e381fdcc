// The platform's TCP sockets, as far as an SSH link needs them. POSIX sockets live in
// socket-posix.cc, Winsock in socket-win32.cc.
#pragma once

#include <libssh2.h>

#include <string>

namespace provision::net {

inline constexpr libssh2_socket_t kNoSocket = LIBSSH2_INVALID_SOCKET;

// Registers the process with the socket library (WSAStartup 2.2 on Windows). Calls are counted;
// each successful startup() needs one cleanup().
bool startup();
void cleanup();

// A new IPv4 TCP socket, or kNoSocket.
libssh2_socket_t openTcpSocket();

// Converts dotted IPv4 text to an address; false when the text is not one.
bool parseIPv4(const std::string& host, unsigned char address[4]);

// Blocking connect to address:port.
bool connectTo(libssh2_socket_t sock, const unsigned char address[4], int port);

void closeSocket(libssh2_socket_t sock);

}  // namespace provision::net
