// A raw FTP control connection to the lab's package server, for the lab's own tests: greeting,
// commands and replies line by line.
#pragma once

#include <string>

namespace provision::test {

class Lab;

class FtpControl {
 public:
  // Connects from the network namespace the caller is in.
  FtpControl();
  // Connects from inside the lab's network namespace.
  explicit FtpControl(const Lab& lab);
  ~FtpControl();
  FtpControl(const FtpControl&) = delete;
  FtpControl& operator=(const FtpControl&) = delete;

  // The next reply line without its line end; empty once the server has closed the connection,
  // or when nothing arrives within `milliseconds`.
  std::string reply(int milliseconds = 20000) const;
  // Writes `text` as it is.
  bool send(const std::string& text) const;
  // Sends a command line and returns the reply line; empty when it could not be sent.
  std::string command(const std::string& line) const;
  // Reads the greeting and logs in; true when both went through.
  bool login() const;

 private:
  void connectToServer();
  int fd_ = -1;
};

}  // namespace provision::test
