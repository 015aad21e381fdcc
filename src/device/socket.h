// The platform's TCP sockets, as far as an SSH link needs them. POSIX sockets live in
// socket-posix.cc, Winsock in socket-win32.cc.
#pragma once

#include <libssh/libssh.h>

#include <chrono>
#include <string>

namespace provision::net {

inline constexpr socket_t kNoSocket = SSH_INVALID_SOCKET;

// Registers the process with the socket library (WSAStartup 2.2 on Windows). Calls are counted;
// each successful startup() needs one cleanup().
bool startup();
void cleanup();

// A new IPv4 TCP socket, or kNoSocket.
socket_t openTcpSocket();

// Converts dotted IPv4 text to an address; false when the text is not one.
bool parseIPv4(const std::string& host, unsigned char address[4]);

enum class ConnectResult {
  Connected,
  Failed,    // refused, unreachable or any other error
  TimedOut,  // no answer at all within the time given
};

// Connects to address:port and gives up when the peer has not answered within `timeout`. The
// socket is left non-blocking.
ConnectResult connectWithin(socket_t sock, const unsigned char address[4], int port,
                            std::chrono::milliseconds timeout);

// Waits until the socket can be read, or written when `write`, or has failed or closed, at most
// `timeout` (a signal may end the wait early). The caller's next call on the socket finds out
// which.
void waitSocket(socket_t sock, bool write, std::chrono::milliseconds timeout);

// Ends all traffic on the socket but keeps it allocated: every later send or receive on it fails
// at once instead of waiting for a peer that no longer answers.
void shutdownSocket(socket_t sock);

void closeSocket(socket_t sock);

}  // namespace provision::net
