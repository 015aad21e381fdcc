// The package server client: one logged-in FTP connection that fetches files into local folders.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ftp/ftp_client.h"
#include "workspace/partial_name.h"
#include "workspace/workspace.h"

namespace provision {

// How a folder download ended.
struct FolderFetch {
  enum Outcome {
    Complete,  // every plain file with a safe name arrived
    Absent,    // the server has no such folder, or it is empty: nothing was fetched
    Failed,    // a file or the listing failed: `failedPath` names it
  };
  Outcome outcome;
  std::string failedPath;
  // The sub-folders the listing held, which are not fetched.
  std::vector<std::string> folders = {};
};

class FtpSource {
 public:
  // Takes host and account from `settings`; does not touch the network. A server that stops
  // answering for one of `waits` fails the call: one run-log line names the step, and every later
  // call fails at once.
  explicit FtpSource(const FtpWaits& waits = FtpWaits{});
  ~FtpSource();
  FtpSource(const FtpSource&) = delete;
  FtpSource& operator=(const FtpSource&) = delete;

  // Judges a fetched copy, by its temporary local path, before it takes its name.
  using Vet = std::function<bool(const std::string& path)>;
  // What downloadFile() returns for a copy that its Vet refused.
  static constexpr int kDownloadRefused = -2;

  // Connects and logs in. 0, or -1 after "InternetConnect failed. Error: <code>" on standard error.
  int open();

  // Fetches one server file (absolute path) into `localFolder` under its own name, with the
  // server's modification time where the server tells it. The copy takes its name only once it
  // arrived whole and `vet` (when given) accepted it: until then an earlier local copy stays as it
  // was. 0; -1 after "FtpGetFile failed. Error: <code>" on standard error; kDownloadRefused, with
  // nothing written, when `vet` refused the copy (which is removed).
  int downloadFile(const std::string& remotePath, const std::string& localFolder,
                   const Vet& vet = {});

  // Sets `facts` to what the server tells of one of its files (absolute path) without fetching
  // it: its size and its time, each when it tells it. 0, or -1 when the request failed (no such
  // file, say); only a server that stopped answering has a line, in the run log.
  int describeRemote(const std::string& remotePath, FtpFileFacts& facts);

  // Fetches every plain file of one server folder into `localFolder`, in listing order; stops at
  // the first failed file. 0, or -1 (listing failed or empty, or a file failed).
  int downloadFolder(const std::string& remoteFolder, const std::string& localFolder);

  // downloadFolder() that tells a folder the server does not have from a failure.
  FolderFetch fetchFolder(const std::string& remoteFolder, const std::string& localFolder);

  // Closes the connection; harmless when nothing is open.
  void close();

  // What the last failed call meant (FtpFailure::Other when it gave no sign), and its code.
  FtpFailure lastFailure() const { return lastFailure_; }
  FtpError lastError() const { return lastError_; }

 private:
  void reportStall(FtpStall stall, const std::string& step);
  // Keeps a failed call's code and what it meant, for lastError() and lastFailure().
  void noteFailure(FtpError code);
  // Notes what a failed transfer into `localFolder` meant, with a line for the technician when it
  // tells something to check.
  void explainFailure(FtpError code, const std::string& localFolder);

  std::string host_;
  std::string user_;
  std::string password_;
  FtpWaits waits_;
  std::unique_ptr<FtpClient> client_;
  FtpFailure lastFailure_ = FtpFailure::Other;
  FtpError lastError_ = kFtpOk;
};

// Opens `server` and tells how the package server answered at start-up. The connection stays open
// as long as `server` does.
ServerAnswer checkPackageServer(FtpSource& server);

}  // namespace provision
