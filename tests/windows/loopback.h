// Peers on 127.0.0.1 for the Windows tests, which run under Wine in a namespace with nothing but
// loopback: a listener that never accepts stands for a server that hangs (its kernel still
// completes the connection), one with a full queue for an address that answers nothing at all.
#pragma once

#include <gtest/gtest.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <string>
#include <vector>

namespace provision::test {

inline sockaddr_in loopbackAddress(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(port));
  inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
  return address;
}

// A listening socket on 127.0.0.1:`port`, with Winsock registered for it.
class LoopbackListener {
 public:
  explicit LoopbackListener(int port, int backlog = 1) : port_(port) {
    WSADATA data;
    started_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    socket_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    BOOL reuse = TRUE;
    ::setsockopt(socket_, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<char*>(&reuse), sizeof reuse);
    sockaddr_in address = loopbackAddress(port);
    listening_ = ::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                 ::listen(socket_, backlog) == 0;
  }
  ~LoopbackListener() {
    for (SOCKET sock : queued_) ::closesocket(sock);
    ::closesocket(socket_);
    if (started_) WSACleanup();
  }
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;

  bool listening() const { return listening_; }
  SOCKET socket() const { return socket_; }

  // Fills the queue of connections nobody accepts: the kernel then drops further connection
  // requests without a reply, as for a device that is switched off.
  void fillQueue() {
    for (int i = 0; i < 3; ++i) {
      SOCKET sock = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
      u_long nonBlocking = 1;
      ioctlsocket(sock, static_cast<long>(FIONBIO), &nonBlocking);
      sockaddr_in address = loopbackAddress(port_);
      ::connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address);
      queued_.push_back(sock);
    }
    Sleep(200);  // the connections reach the queue
  }

 private:
  int port_;
  bool started_ = false;
  bool listening_ = false;
  SOCKET socket_ = INVALID_SOCKET;
  std::vector<SOCKET> queued_;
};

// Whether `out` is just one run-log error line with `text`, whatever its time.
inline testing::AssertionResult isOneErrorLine(const std::string& out, const std::string& text) {
  const std::string tail = "] : [ERROR]" + text + "\n";
  const std::size_t close = out.find("] : ");
  if (out.starts_with("[") && close != std::string::npos && out.substr(close) == tail)
    return testing::AssertionSuccess();
  return testing::AssertionFailure() << "not one error line \"" << text << "\": " << out;
}

}  // namespace provision::test
