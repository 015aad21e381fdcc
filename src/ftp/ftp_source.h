// The package server client: one logged-in FTP connection that fetches files into local folders.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ftp/ftp_client.h"

namespace provision {

class FtpSource {
 public:
  // Takes host and account from `settings`; does not touch the network. A server that stops
  // answering for one of `waits` fails the call: one run-log line names the step, and every later
  // call fails at once, until reopen().
  explicit FtpSource(const FtpWaits& waits = FtpWaits{});
  ~FtpSource();
  FtpSource(const FtpSource&) = delete;
  FtpSource& operator=(const FtpSource&) = delete;

  // Judges a fetched copy, by its temporary local path, before it takes its name.
  using Vet = std::function<bool(const std::string& path)>;
  // What downloadFile() returns for a copy that its Vet refused.
  static constexpr int kDownloadRefused = -2;
  // What readFile() returns for a file the server says it does not have.
  static constexpr int kNotOnServer = -3;

  // Connects and logs in. 0, or -1 after "InternetConnect failed. Error: <code>" on standard error.
  int open();
  // Connects afresh when the connection was given up (the server stopped answering) or lost;
  // keeps one that is open. 0, or open()'s failure.
  int reopen();

  // Fetches one server file (absolute path) into `localFolder` under its own name, with the
  // server's modification time where the server tells it. The copy takes its name only once it
  // arrived whole and `vet` (when given) accepted it: until then an earlier local copy stays as it
  // was. 0; -1 after "FtpGetFile failed. Error: <code>" on standard error, and the line that
  // says what to check where the code tells; kDownloadRefused, with nothing written, when `vet`
  // refused the copy (which is removed).
  int downloadFile(const std::string& remotePath, const std::string& localFolder,
                   const Vet& vet = {});

  // Reads a small server file (absolute path) into `content`: at most `limit` bytes, and one more
  // when the file is longer. 0; kNotOnServer, without a word, when the server says there is no
  // such file; -1 after the error line as downloadFile().
  int readFile(const std::string& remotePath, std::size_t limit, std::string& content);

  // Sets `facts` to what the server tells of one of its files (absolute path) without fetching
  // it: its size and its time, each when it tells it. 0, or -1 when the request failed (no such
  // file, say); only a server that stopped answering has a line, in the run log.
  int describeRemote(const std::string& remotePath, FtpFileFacts& facts);

  // Lists one server folder. 0, or -1 after "FtpFindFirstFile failed. Error: <code>" on standard
  // error (a folder that is not there, that may not be entered, or that is empty, too; the
  // failure tells which, as far as the server says).
  int listFolder(const std::string& remoteFolder, std::vector<FtpEntry>& entries);

  // Closes the connection; harmless when nothing is open.
  void close();

  // What the last failed call meant (FtpFailure::Other when it gave no sign), and its code.
  FtpFailure lastFailure() const { return lastFailure_; }
  FtpError lastError() const { return lastError_; }
  // The last failure as the end of a sentence about the file it concerned, e.g. "its transfer
  // broke off before the whole file had arrived (error 18)".
  std::string failureText() const;

 private:
  // Keeps a failed call's code and what it meant, for lastError() and lastFailure().
  void noteFailure(FtpError code, bool connecting = false);
  // Says what the last failure, of a transfer of `remotePath` into `localFolder`, means for the
  // technician, in a line that says what to check. A call that failed on a connection that was
  // given up before has nothing more to say: the failure that ended it was explained.
  void explainFailure(const std::string& remotePath, const std::string& localFolder);
  // When the failure was a stall: one run-log line that names `step` and the wait, and the
  // connection given up.
  void reportStall(const std::string& step);

  std::string host_;
  std::string user_;
  std::string password_;
  FtpWaits waits_;
  FtpClient client_;
  FtpFailure lastFailure_ = FtpFailure::Other;
  FtpError lastError_ = kFtpOk;
};

// How the package server answered at start-up; the caller that owns the run asks it.
enum class ServerAtStartUp { Answered, DidNotAnswer, RefusedLogin, TurnedAway };
struct ServerAnswer {
  ServerAtStartUp state = ServerAtStartUp::Answered;
  // The client's error code when it did not answer, as its error line gave it.
  FtpError code = kFtpOk;
};

// Opens `server` and tells how the package server answered at start-up. The connection stays open
// as long as `server` does: it is the run's one connection to the package server.
ServerAnswer checkPackageServer(FtpSource& server);

}  // namespace provision
