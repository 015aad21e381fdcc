// The FTP client behind FtpSource: one logged-in connection to the package server that fetches
// single files and lists folders, on libcurl for every platform (ftp_client.cc); FtpSource holds
// the logic around it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace provision {

// libcurl's error code (CURLcode) as the package-server error lines print it; kFtpOk means
// success.
using FtpError = unsigned long;
inline constexpr FtpError kFtpOk = 0;

// One entry of a server folder listing.
struct FtpEntry {
  std::string name;  // UTF-8, as the server lists it
  bool isFolder = false;
  std::uint64_t size = 0;  // where the listing tells it
};

// What the server tells of one of its files, each fact only where it tells it (SIZE and MDTM).
struct FtpFileFacts {
  std::optional<std::uint64_t> size;
  // The file's modification time, in seconds since 1970-01-01 00:00 UTC.
  std::optional<std::int64_t> modified;
};

// Told, while a file comes, how many bytes arrived so far and how many the file has (0: not known).
using FtpProgress = std::function<void(std::uint64_t received, std::uint64_t total)>;

// How long the client waits for the package server before it gives up on it.
struct FtpWaits {
  // Connecting: the TCP connect, the greeting and the login; in active mode also the server's
  // connection back to us for each transfer (whether the server makes it when it is told the
  // address, and answers only then, or when the transfer starts).
  std::chrono::milliseconds connect{10000};
  // A download or listing that receives no byte for this long, or a reply that does not come.
  std::chrono::milliseconds transfer{30000};
};

// What a failed call means for the technician, as far as its code (and, for the local file, the
// system's error) tells.
enum class FtpFailure {
  Other,
  Unreachable,   // nothing answers at the server's address, or it refused the connection
  LoginRefused,  // the server refused the account
  Stalled,       // the server stopped answering for one of the waits
  TurnedAway,    // the server answered 421: too many connections from this address, or closing
  ConnectBack,   // the server's connection back to this PC for a transfer (active mode) failed
  Missing,       // the server has no such file (550), or the folder's listing is empty
  NotEntered,    // the server refused to enter the folder: it is not there, or may not be read
  Cut,           // the transfer began and broke off before the whole file had arrived
  DiskFull,      // the local file could not be written: its disk is full
  NotWritable,   // the local folder cannot be written to
};

// What connect() found.
enum class FtpConnect {
  Connected,    // logged in; later calls reuse the connection
  Failed,       // the server did not answer or refused the login: error() holds the code
  Unavailable,  // the client library itself could not start; nothing is to be reported
};

// One logged-in connection to the package server on libcurl, the same on every platform. Every
// call that fails returns libcurl's code; failureOf() tells what it means.
class FtpClient {
 public:
  explicit FtpClient(const FtpWaits& waits = FtpWaits{});
  ~FtpClient();
  FtpClient(const FtpClient&) = delete;
  FtpClient& operator=(const FtpClient&) = delete;

  // Connects to `host` on port 21 and logs in with `user` and `password` (all UTF-8). Active-mode,
  // binary transfers. A connection that is still open is ended first.
  FtpConnect connect(const std::string& host, const std::string& user, const std::string& password);

  // The code of the last failed connect().
  FtpError error() const { return error_; }

  // Whether the client holds a connection (connect() succeeded and nothing gave it up since).
  bool connected() const { return curl_ != nullptr; }

  // Fetches the server file at `remotePath` (absolute, from the server's root folder) into the
  // local file `localPath`, which must not exist yet; the client creates it. `modified` receives
  // the server file's time when the server tells it; `progress`, when set, is told how the
  // transfer moves, several times a second. Without a connection fails at once without touching
  // the network. On failure the caller removes whatever was written to `localPath`.
  FtpError fetch(const std::string& remotePath, const std::string& localPath,
                 std::optional<std::int64_t>& modified, const FtpProgress& progress);

  // Fetches the server file at `remotePath` into `content`, at most `limit` bytes of it and one
  // more when it is longer, which tells that it is.
  FtpError read(const std::string& remotePath, std::size_t limit, std::string& content);

  // Lists the entries of the server folder `remoteFolder` (absolute) in the server's order, "."
  // and ".." included when the server lists them. A folder without any entry is a failure
  // (CURLE_REMOTE_FILE_NOT_FOUND), as is a missing folder. Fails at once without a connection.
  FtpError list(const std::string& remoteFolder, std::vector<FtpEntry>& entries);

  // What the server tells of its file at `remotePath` (absolute) without a transfer of it: its size
  // and its time, each when the server tells it (a server may answer either request with an
  // error). Fails at once without a connection, and when the file is not there.
  FtpError describe(const std::string& remotePath, FtpFileFacts& facts);

  // Ends the connection and releases the client library's handles; harmless when not connected.
  void disconnect();

  // What `code`, returned by this client's last call, means; `connecting` for connect().
  FtpFailure failureOf(FtpError code, bool connecting = false) const;

  // The code that reports a fetched file which cannot be stored under its local name (a name that
  // is empty or unsafe, or a failed final rename).
  static FtpError localFileError();

  // What libcurl's callbacks keep while a transfer runs (ftp_client.cc).
  struct Watch;

 private:
  // One transfer; a connection back that does not come is reported as libcurl's accept timeout,
  // however the server waits for it.
  FtpError perform();
  std::optional<std::int64_t> fileTime();
  void prepareTransfer(const std::string& url);

  FtpWaits waits_;
  std::unique_ptr<Watch> watch_;
  void* curl_ = nullptr;  // CURL*
  std::string server_;
  FtpError error_ = kFtpOk;
  // The server's last reply code (421, say) when the last request failed.
  long lastReply_ = 0;
  // What the system said of the last local file that could not be written (NewFile::Problem).
  int localProblem_ = 0;
};

}  // namespace provision
