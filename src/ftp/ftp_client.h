// The FTP client behind FtpSource: one logged-in connection to the package server that fetches
// single files and lists folders. One implementation on libcurl for every platform
// (ftp_client.cc); FtpSource holds the logic around it.
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

// Which wait ran out, when a call failed because the server stopped answering.
enum class FtpStall { None, Connect, Transfer };

// What a failed call means for the technician, as far as its code (and, for the local file, the
// system's error) tells.
enum class FtpFailure {
  Other,
  Unreachable,   // nothing answers at the server's address, or it refused the connection
  LoginRefused,  // the server refused the account
  ConnectBack,   // the server's connection back to this PC for a transfer (active mode) failed
  DiskFull,      // the local file could not be written: its disk is full
  NotWritable,   // the local folder cannot be written to
};

// What connect() found.
enum class FtpConnect {
  Connected,    // logged in; later calls reuse the connection
  Failed,       // the server did not answer or refused the login: error() holds the code
  Unavailable,  // the client library itself could not start; nothing is to be reported
};

class FtpClient {
 public:
  virtual ~FtpClient() = default;

  // Connects to `host` on port 21 and logs in with `user` and `password` (all UTF-8). Active-mode,
  // binary transfers. Called at most once per object before any other call.
  virtual FtpConnect connect(const std::string& host, const std::string& user,
                             const std::string& password) = 0;

  // The code of the last failed connect().
  virtual FtpError error() const = 0;

  // Fetches the server file at `remotePath` (absolute, from the server's root folder) into the
  // local file `localPath`, which must not exist yet; the client creates it. `modified` receives
  // the server file's time when the server tells it; `progress`, when set, is told how the
  // transfer moves, several times a second. Without a connection (connect() failed or never
  // called, or after disconnect()) fails at once without touching the network. On failure the
  // caller removes whatever was written to `localPath`.
  virtual FtpError fetch(const std::string& remotePath, const std::string& localPath,
                         std::optional<std::int64_t>& modified, const FtpProgress& progress) = 0;

  // Lists the entries of the server folder `remoteFolder` (absolute) in the server's order, "."
  // and ".." included when the server lists them. A folder without any entry is a failure with the
  // client's code for it, as is a missing folder. Fails at once without a connection.
  virtual FtpError list(const std::string& remoteFolder, std::vector<FtpEntry>& entries) = 0;

  // What the server tells of its file at `remotePath` (absolute) without a transfer of it: its size
  // and its time, each when the server tells it (a server may answer either request with an
  // error). Fails at once without a connection, and when the file is not there.
  virtual FtpError describe(const std::string& remotePath, FtpFileFacts& facts) = 0;

  // The code that reports a fetched file which cannot be stored under its local name (a name that
  // is empty or unsafe, or a failed final rename).
  virtual FtpError localFileError() const = 0;

  // Ends the connection and releases the client library's handles; harmless when not connected.
  virtual void disconnect() = 0;

  // Whether `code`, returned by list() or fetch(), means that the server answered that the folder
  // or file is not there (or that a folder is empty), rather than that it failed.
  virtual bool isAbsent(FtpError code) const = 0;

  // Whether `code`, returned by connect() (`connecting`) or by a transfer, means that the server
  // stopped answering, and which of the waits ran out.
  virtual FtpStall stallOf(FtpError code, bool connecting) const = 0;

  // What `code`, returned by the last connect(), fetch() or list(), means.
  virtual FtpFailure failureOf(FtpError code) const = 0;
};

// The client with its waits, not yet connected. Touches nothing.
std::unique_ptr<FtpClient> makeFtpClient(const FtpWaits& waits = FtpWaits{});

}  // namespace provision
