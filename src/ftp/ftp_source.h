// The package server client: one logged-in FTP connection that fetches files into local folders.
#pragma once

#include <memory>
#include <string>

namespace provision {

class FtpClient;

class FtpSource {
 public:
  // Takes host and account from `settings`; does not touch the network.
  FtpSource();
  ~FtpSource();
  FtpSource(const FtpSource&) = delete;
  FtpSource& operator=(const FtpSource&) = delete;

  // Connects and logs in. 0, or -1 after "InternetConnect failed. Error: <code>" on standard error.
  int open();

  // Fetches one server file (absolute path) into `localFolder` under its own name. A failed
  // download leaves any earlier local copy untouched. 0, or -1 after
  // "FtpGetFile failed. Error: <code>" on standard error.
  int downloadFile(const std::string& remotePath, const std::string& localFolder);

  // Fetches every plain file of one server folder into `localFolder`, in listing order; stops at
  // the first failed file. 0, or -1 (listing failed or empty, or a file failed).
  int downloadFolder(const std::string& remoteFolder, const std::string& localFolder);

  // Closes the connection; harmless when nothing is open.
  void close();

 private:
  std::string host_;
  std::string user_;
  std::string password_;
  std::unique_ptr<FtpClient> client_;
};

}  // namespace provision
