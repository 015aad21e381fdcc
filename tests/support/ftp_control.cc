#include "support/ftp_control.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/lab.h"

namespace provision::test {

FtpControl::FtpControl() { connectToServer(); }

FtpControl::FtpControl(const Lab& lab) {
  NetnsScope scope(lab);
  if (scope.ok()) connectToServer();
}

FtpControl::~FtpControl() {
  if (fd_ >= 0) ::close(fd_);
}

void FtpControl::connectToServer() {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(21);
  ::inet_pton(AF_INET, PROVISION_FTP_HOST, &server.sin_addr);
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

std::string FtpControl::reply(int milliseconds) const {
  std::string line;
  pollfd ready{fd_, POLLIN, 0};
  char c = 0;
  while (fd_ >= 0 && ::poll(&ready, 1, milliseconds) == 1 && ::recv(fd_, &c, 1, 0) == 1) {
    if (c == '\n') {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return line;
    }
    line += c;
  }
  return line;
}

bool FtpControl::send(const std::string& text) const {
  return fd_ >= 0 &&
         ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
}

std::string FtpControl::command(const std::string& line) const {
  if (!send(line + "\r\n")) return "";
  return reply();
}

bool FtpControl::login() const {
  return reply().starts_with("220 ") && command("USER velqorn").starts_with("331 ") &&
         command("PASS ftp604817").starts_with("230 ");
}

}  // namespace provision::test
