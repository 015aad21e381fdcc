// The FTP client on libcurl, the same on every platform. Error codes are libcurl's CURLcode
// numbers.
#include "ftp/ftp_client.h"

#include <curl/curl.h>

#include <algorithm>

#include "workspace/new_file.h"

namespace provision {
namespace {

constexpr long kReceiveBufferSize = 102400;

// Reported for transfers on a client that holds no connection; nothing is sent then.
constexpr FtpError kNoConnection = CURLE_COULDNT_CONNECT;

// A transfer slower than this many bytes per second over the whole transfer wait counts as one
// that makes no progress: only a transfer that receives nothing at all is given up.
constexpr long kLowestSpeed = 1;

// libcurl takes some of its waits in whole seconds.
long wholeSeconds(std::chrono::milliseconds wait) {
  return std::max(1L, static_cast<long>((wait.count() + 999) / 1000));
}

// Once per process; on Windows this starts Winsock too (CURL_GLOBAL_WIN32), which stays started
// until the process ends.
bool startLibrary() {
  static const bool started = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  return started;
}

// The URL path of an absolute or relative server path: each name percent-encoded, a leading "/"
// as "%2F" so that libcurl starts from the server's root folder rather than the login folder.
std::string encodePath(CURL* curl, const std::string& path) {
  std::string encoded;
  size_t start = 0;
  if (!path.empty() && path.front() == '/') {
    encoded = "%2F";
    start = 1;
  }
  while (true) {
    size_t slash = path.find('/', start);
    std::string name = path.substr(start, slash == std::string::npos ? slash : slash - start);
    char* escaped = curl_easy_escape(curl, name.data(), static_cast<int>(name.size()));
    if (escaped) encoded += escaped;
    curl_free(escaped);
    if (slash == std::string::npos) return encoded;
    encoded += '/';
    start = slash + 1;
  }
}

// Anything short of the whole piece makes libcurl end the transfer with CURLE_WRITE_ERROR.
size_t writeToFile(char* data, size_t size, size_t count, void* target) {
  return static_cast<NewFile*>(target)->write(data, size * count) ? size * count : 0;
}

FtpFailure failureOfLocalFile(int problem) {
  switch (static_cast<NewFile::Problem>(problem)) {
    case NewFile::Problem::DiskFull:
      return FtpFailure::DiskFull;
    case NewFile::Problem::NotWritable:
      return FtpFailure::NotWritable;
    default:
      return FtpFailure::Other;
  }
}

// The reply of a server that closes the connection: too many connections from one address, or a
// server that is shutting down.
constexpr long kServiceNotAvailable = 421;

long replyCode(CURL* curl) {
  long reply = 0;
  if (curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply) != CURLE_OK) return 0;
  return reply;
}

// Whether a command written to the server waits for the server's connection back (active mode):
// the address (EPRT, PORT), which some servers answer only once they connected, and the transfer
// commands, which most servers answer only once they connected (and with an error after their
// own, longer wait when they cannot).
bool waitsForConnectBack(const std::string& command) {
  for (const char* waiting : {"EPRT ", "PORT ", "RETR ", "LIST", "NLST", "MLSD"}) {
    if (command.starts_with(waiting)) return true;
  }
  return false;
}

}  // namespace

// Watches a transfer: tells a command that waits for the server's connection back, and passes
// the transfer's progress on. libcurl waits for the answer to such a command with its reply wait,
// so the client gives it up itself after the connect wait.
struct FtpClient::Watch {
  std::chrono::milliseconds limit;
  bool waiting = false;
  std::chrono::steady_clock::time_point since;
  bool expired = false;
  const FtpProgress* progress = nullptr;
};

namespace {

int watchCommands(CURL*, curl_infotype type, char* data, size_t size, void* watch) {
  auto* transfer = static_cast<FtpClient::Watch*>(watch);
  if (type == CURLINFO_HEADER_OUT) {
    transfer->waiting = waitsForConnectBack(std::string(data, std::min<size_t>(size, 5)));
    transfer->since = std::chrono::steady_clock::now();
  } else if (type == CURLINFO_HEADER_IN) {
    transfer->waiting = false;
  }
  return 0;
}

// libcurl's transfer callback, several times a second while a transfer runs.
int watchTransfer(void* watch, curl_off_t total, curl_off_t received, curl_off_t, curl_off_t) {
  auto* transfer = static_cast<FtpClient::Watch*>(watch);
  if (transfer->progress && *transfer->progress && received > 0)
    (*transfer->progress)(static_cast<std::uint64_t>(received),
                          static_cast<std::uint64_t>(std::max<curl_off_t>(0, total)));
  if (!transfer->waiting || std::chrono::steady_clock::now() - transfer->since < transfer->limit)
    return 0;
  transfer->expired = true;
  return 1;  // aborts the transfer
}

size_t discard(char*, size_t size, size_t count, void*) { return size * count; }

// Collects a small file in memory, up to one byte more than its limit.
struct TextSink {
  std::string& text;
  std::size_t limit;
};

size_t collect(char* data, size_t size, size_t count, void* target) {
  auto* sink = static_cast<TextSink*>(target);
  const size_t length = size * count;
  const size_t room = sink->limit + 1 - std::min(sink->text.size(), sink->limit + 1);
  sink->text.append(data, std::min(length, room));
  // Anything short of the whole piece ends the transfer: enough is known once it is too long.
  return length <= room ? length : 0;
}

// Records each listed entry and skips its transfer.
long recordEntry(const void* info, void* entries, int) {
  const auto* file = static_cast<const curl_fileinfo*>(info);
  static_cast<std::vector<FtpEntry>*>(entries)->push_back(
      {file->filename ? file->filename : "", file->filetype == CURLFILETYPE_DIRECTORY,
       static_cast<std::uint64_t>(std::max<curl_off_t>(0, file->size))});
  return CURL_CHUNK_BGN_FUNC_SKIP;
}

// Every entry of the listing is wanted, whatever characters its name holds.
int matchAll(void*, const char*, const char*) { return CURL_FNMATCHFUNC_MATCH; }

CURL* handleOf(void* curl) { return static_cast<CURL*>(curl); }

}  // namespace

FtpClient::FtpClient(const FtpWaits& waits)
    : waits_(waits),
      watch_(std::make_unique<Watch>(Watch{waits.connect, false, {}, false, nullptr})) {}

FtpClient::~FtpClient() { disconnect(); }

FtpConnect FtpClient::connect(const std::string& host, const std::string& user,
                              const std::string& password) {
  disconnect();
  if (!startLibrary()) return FtpConnect::Unavailable;
  CURL* curl = curl_easy_init();
  if (!curl) return FtpConnect::Unavailable;
  curl_ = curl;
  server_ = "ftp://" + host + "/";
  curl_easy_setopt(curl, CURLOPT_USERNAME, user.c_str());
  curl_easy_setopt(curl, CURLOPT_PASSWORD, password.c_str());
  curl_easy_setopt(curl, CURLOPT_FTPPORT, "-");  // active mode on the control connection's address
  curl_easy_setopt(curl, CURLOPT_TRANSFERTEXT, 0L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  // Packages are large: fewer, bigger reads keep up with the link.
  curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, kReceiveBufferSize);
  // Bounded waits: the connect time covers the TCP connect, the greeting and the login.
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(waits_.connect.count()));
  curl_easy_setopt(curl, CURLOPT_ACCEPTTIMEOUT_MS, static_cast<long>(waits_.connect.count()));
  curl_easy_setopt(curl, CURLOPT_SERVER_RESPONSE_TIMEOUT, wholeSeconds(waits_.transfer));
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, kLowestSpeed);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, wholeSeconds(waits_.transfer));
  // The commands are watched for the ones that wait for the server's connection back.
  curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L);
  curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, watchCommands);
  curl_easy_setopt(curl, CURLOPT_DEBUGDATA, watch_.get());
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, watchTransfer);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, watch_.get());
  // Log in without a transfer; the connection stays in the handle for the later calls.
  curl_easy_setopt(curl, CURLOPT_URL, server_.c_str());
  curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
  CURLcode result = curl_easy_perform(curl);
  curl_easy_setopt(curl, CURLOPT_NOBODY, 0L);
  if (result != CURLE_OK) {
    error_ = result;
    lastReply_ = replyCode(curl);
    disconnect();
    return FtpConnect::Failed;
  }
  return FtpConnect::Connected;
}

FtpError FtpClient::fetch(const std::string& remotePath, const std::string& localPath,
                          std::optional<std::int64_t>& modified, const FtpProgress& progress) {
  localProblem_ = 0;
  modified.reset();
  if (!curl_) return kNoConnection;
  NewFile local;
  if (!local.create(localPath)) {
    localProblem_ = static_cast<int>(local.problem());
    return CURLE_WRITE_ERROR;
  }
  CURL* curl = handleOf(curl_);
  prepareTransfer(server_ + encodePath(curl, remotePath));
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, writeToFile);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &local);
  // The server's time of the file (MDTM) before the transfer.
  curl_easy_setopt(curl, CURLOPT_FILETIME, 1L);
  watch_->progress = &progress;
  const FtpError result = perform();
  watch_->progress = nullptr;
  curl_easy_setopt(curl, CURLOPT_FILETIME, 0L);
  const bool stored = local.close();
  localProblem_ = static_cast<int>(local.problem());
  if (result != CURLE_OK) return result;
  if (!stored) return CURLE_WRITE_ERROR;
  modified = fileTime();
  return kFtpOk;
}

FtpError FtpClient::read(const std::string& remotePath, std::size_t limit, std::string& content) {
  content.clear();
  localProblem_ = 0;
  if (!curl_) return kNoConnection;
  CURL* curl = handleOf(curl_);
  TextSink sink{content, limit};
  prepareTransfer(server_ + encodePath(curl, remotePath));
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
  const FtpError result = perform();
  // A file longer than the limit ends its transfer early, and is read as far as it tells that.
  if (result == CURLE_WRITE_ERROR && content.size() > limit) return kFtpOk;
  return result;
}

FtpError FtpClient::list(const std::string& remoteFolder, std::vector<FtpEntry>& entries) {
  entries.clear();
  if (!curl_) return kNoConnection;
  CURL* curl = handleOf(curl_);
  prepareTransfer(server_ + encodePath(curl, remoteFolder) + "/*");
  curl_easy_setopt(curl, CURLOPT_WILDCARDMATCH, 1L);
  curl_easy_setopt(curl, CURLOPT_FNMATCH_FUNCTION, matchAll);
  curl_easy_setopt(curl, CURLOPT_CHUNK_BGN_FUNCTION, recordEntry);
  curl_easy_setopt(curl, CURLOPT_CHUNK_DATA, &entries);
  localProblem_ = 0;
  const FtpError result = perform();
  curl_easy_setopt(curl, CURLOPT_WILDCARDMATCH, 0L);
  curl_easy_setopt(curl, CURLOPT_CHUNK_BGN_FUNCTION, nullptr);
  curl_easy_setopt(curl, CURLOPT_CHUNK_DATA, nullptr);
  if (result != CURLE_OK) return result;
  return entries.empty() ? FtpError{CURLE_REMOTE_FILE_NOT_FOUND} : kFtpOk;
}

FtpError FtpClient::describe(const std::string& remotePath, FtpFileFacts& facts) {
  facts = {};
  if (!curl_) return kNoConnection;
  CURL* curl = handleOf(curl_);
  // Without a body libcurl asks for the time (MDTM) and the size (SIZE) and fetches nothing. A
  // server that answers either with an error other than "no such file" (550) tells nothing of
  // it, and the call still succeeds.
  prepareTransfer(server_ + encodePath(curl, remotePath));
  curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
  curl_easy_setopt(curl, CURLOPT_FILETIME, 1L);
  const FtpError result = perform();
  curl_easy_setopt(curl, CURLOPT_NOBODY, 0L);
  curl_easy_setopt(curl, CURLOPT_FILETIME, 0L);
  if (result != CURLE_OK) return result;
  curl_off_t length = -1;
  if (curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK &&
      length >= 0)
    facts.size = static_cast<std::uint64_t>(length);
  facts.modified = fileTime();
  return kFtpOk;
}

FtpError FtpClient::localFileError() { return CURLE_WRITE_ERROR; }

void FtpClient::disconnect() {
  if (!curl_) return;
  curl_easy_cleanup(handleOf(curl_));
  curl_ = nullptr;
}

FtpFailure FtpClient::failureOf(FtpError code, bool connecting) const {
  switch (code) {
    case kFtpOk:
      return FtpFailure::Other;
    case CURLE_COULDNT_CONNECT:
      return FtpFailure::Unreachable;
    case CURLE_OPERATION_TIMEDOUT:
      // libcurl reports the server's 421 as a time-out too, though the server answered at once.
      if (lastReply_ == kServiceNotAvailable) return FtpFailure::TurnedAway;
      // At start-up a server that does not answer is one that is not there.
      return connecting ? FtpFailure::Unreachable : FtpFailure::Stalled;
    case CURLE_LOGIN_DENIED:
      return FtpFailure::LoginRefused;
    // The server's connection back did not come in time, or the server said it could not make
    // it.
    case CURLE_FTP_ACCEPT_TIMEOUT:
    case CURLE_FTP_PORT_FAILED:
      return FtpFailure::ConnectBack;
    case CURLE_REMOTE_FILE_NOT_FOUND:
      return FtpFailure::Missing;
    case CURLE_REMOTE_ACCESS_DENIED:
      return FtpFailure::NotEntered;
    // The transfer began and ended early: the data connection closed short, or the server's
    // negative answer (426) came while the data connection was being taken.
    case CURLE_PARTIAL_FILE:
    case CURLE_FTP_ACCEPT_FAILED:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
      return FtpFailure::Cut;
    case CURLE_WRITE_ERROR:
      return failureOfLocalFile(localProblem_);
    default:
      return FtpFailure::Other;
  }
}

FtpError FtpClient::perform() {
  watch_->waiting = false;
  watch_->expired = false;
  const CURLcode result = curl_easy_perform(handleOf(curl_));
  lastReply_ = result == CURLE_OK ? 0 : replyCode(handleOf(curl_));
  if (result == CURLE_ABORTED_BY_CALLBACK && watch_->expired) return CURLE_FTP_ACCEPT_TIMEOUT;
  return result;
}

std::optional<std::int64_t> FtpClient::fileTime() {
  curl_off_t time = -1;
  if (curl_easy_getinfo(handleOf(curl_), CURLINFO_FILETIME_T, &time) != CURLE_OK || time < 0)
    return {};
  return static_cast<std::int64_t>(time);
}

void FtpClient::prepareTransfer(const std::string& url) {
  CURL* curl = handleOf(curl_);
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, discard);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, nullptr);
}

}  // namespace provision
