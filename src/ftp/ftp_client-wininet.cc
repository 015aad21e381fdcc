// The FTP client on WinINet. Error codes are Windows' own (GetLastError), for example 12029 when
// the server cannot be reached and 12014 when it refuses the login.
#include <windows.h>
#include <wininet.h>

#include <cstdint>
#include <optional>
#include <utility>

#include "ftp/call_thread.h"
#include "ftp/ftp_client.h"
#include "workspace/wide_text-win32.h"

namespace provision {
namespace {

constexpr const wchar_t* kAgent = L"FTP Client";
constexpr INTERNET_PORT kFtpPort = 21;

// Reported for transfers on a client that holds no connection; nothing is sent then.
constexpr FtpError kNoConnection = ERROR_INVALID_HANDLE;

// Closes a WinINet handle when it goes out of scope.
class InternetHandle {
 public:
  InternetHandle() = default;
  explicit InternetHandle(HINTERNET handle) : handle_(handle) {}
  ~InternetHandle() { reset(); }
  InternetHandle(const InternetHandle&) = delete;
  InternetHandle& operator=(const InternetHandle&) = delete;

  HINTERNET get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }
  void reset(HINTERNET handle = nullptr) {
    if (handle_) InternetCloseHandle(handle_);
    handle_ = handle;
  }

 private:
  HINTERNET handle_ = nullptr;
};

// The size of a local file that another handle is writing, 0 while it does not exist. The handle
// asks for attributes only, which no sharing mode refuses.
std::int64_t growingFileSize(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  LARGE_INTEGER size{};
  const bool known = GetFileSizeEx(file, &size) != 0;
  CloseHandle(file);
  return known ? size.QuadPart : 0;
}

// Whether the disk that holds the local file `path` has no room left: less than one cluster free.
// Wine's FtpGetFileW reports success when its writes to the local file fail, so a download that
// filled the disk would pass for a whole one.
bool diskFullAt(const std::wstring& path) {
  const std::wstring folder = path.substr(0, path.find_last_of(L"\\/") + 1);
  ULARGE_INTEGER available{};
  if (!GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr)) return false;
  DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, clusters = 0;
  ULONGLONG cluster = 4096;
  const std::wstring root = folder.substr(0, folder.find(L'\\') + 1);
  if (GetDiskFreeSpaceW(root.c_str(), &sectorsPerCluster, &bytesPerSector, &freeClusters,
                        &clusters))
    cluster = static_cast<ULONGLONG>(sectorsPerCluster) * bytesPerSector;
  return available.QuadPart < cluster;
}

struct Listing {
  FtpError error = kFtpOk;
  std::vector<FtpEntry> entries;
};

// The whole listing of `pattern` in one call; the search handle is closed before it returns.
Listing listAll(HINTERNET connection, const std::wstring& pattern) {
  Listing listing;
  WIN32_FIND_DATAW data;
  InternetHandle search(
      FtpFindFirstFileW(connection, pattern.c_str(), &data, INTERNET_FLAG_RELOAD, 0));
  if (!search) {
    listing.error = GetLastError();
    return listing;
  }
  // The listing ends at the first failure, normally ERROR_NO_MORE_FILES; any other ends it too.
  do {
    listing.entries.push_back(
        {narrowUtf8(data.cFileName), (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
         (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow});
  } while (InternetFindNextFileW(search.get(), &data));
  return listing;
}

// Every call that waits for the server runs on the connection's call thread and is given up after
// its wait (see call_thread.h): a stall reports ERROR_INTERNET_TIMEOUT, as WinINet's own timeouts
// do. Those are set too; Windows honours some of them.
class WinInetFtpClient : public FtpClient {
 public:
  explicit WinInetFtpClient(const FtpWaits& waits) : waits_(waits) {}
  ~WinInetFtpClient() override { disconnect(); }

  FtpConnect connect(const std::string& host, const std::string& user,
                     const std::string& password) override {
    disconnect();
    calls_ = std::make_unique<CallThread>();
    internet_.reset(InternetOpenW(kAgent, INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
    if (!internet_ || !calls_->started()) {
      disconnect();
      return FtpConnect::Unavailable;
    }
    setTimeout(INTERNET_OPTION_CONNECT_TIMEOUT, waits_.connect);
    static constexpr DWORD kTransferOptions[] = {
        INTERNET_OPTION_SEND_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT,
        INTERNET_OPTION_DATA_SEND_TIMEOUT, INTERNET_OPTION_DATA_RECEIVE_TIMEOUT};
    for (DWORD option : kTransferOptions) setTimeout(option, waits_.transfer);
    // Flags 0: no INTERNET_FLAG_PASSIVE, so the transfers use active FTP.
    auto login = [internet = internet_.get(), host = widenUtf8(host), user = widenUtf8(user),
                  password = widenUtf8(password)]() -> std::pair<HINTERNET, FtpError> {
      HINTERNET connection = InternetConnectW(internet, host.c_str(), kFtpPort, user.c_str(),
                                              password.c_str(), INTERNET_SERVICE_FTP, 0, 0);
      return {connection, connection ? kFtpOk : GetLastError()};
    };
    const auto result =
        calls_->run<std::pair<HINTERNET, FtpError>>(login, {waits_.connect, {}, cancelAll()});
    error_ = result ? result->second : ERROR_INTERNET_TIMEOUT;
    if (result && result->first) {
      connection_.reset(result->first);
      return FtpConnect::Connected;
    }
    disconnect();
    return FtpConnect::Failed;
  }

  FtpError error() const override { return error_; }

  FtpError fetch(const std::string& remotePath, const std::string& localPath) override {
    connectBackMissing_ = false;
    if (!connection_) return kNoConnection;
    // Always from the server, never from WinINet's cache: a pointer file from an earlier run would
    // name an outdated package. Progress is what reaches the local file.
    auto get = [connection = connection_.get(), remote = widenUtf8(remotePath),
                local = widenUtf8(localPath)]() -> FtpError {
      return FtpGetFileW(connection, remote.c_str(), local.c_str(), FALSE, FILE_ATTRIBUTE_NORMAL,
                         FTP_TRANSFER_TYPE_BINARY | INTERNET_FLAG_RELOAD, 0)
                 ? kFtpOk
                 : GetLastError();
    };
    const auto growth = [local = widenUtf8(localPath)] { return growingFileSize(local); };
    // The first byte comes as soon as the server's connection back for the transfer (active mode)
    // has come: until then only the connect wait, however the server waits for the connection.
    const std::optional<FtpError> fetched =
        calls_->run<FtpError>(get, {waits_.transfer, growth, cancelAll(), waits_.connect});
    if (fetched) {
      if (*fetched == kFtpOk && diskFullAt(widenUtf8(localPath))) return ERROR_DISK_FULL;
      return *fetched;
    }
    connectBackMissing_ = growth() == 0;
    return ERROR_INTERNET_TIMEOUT;
  }

  FtpError list(const std::string& remoteFolder, std::vector<FtpEntry>& entries) override {
    connectBackMissing_ = false;
    entries.clear();
    if (!connection_) return kNoConnection;
    auto search = [connection = connection_.get(), pattern = widenUtf8(remoteFolder + "/*")] {
      return listAll(connection, pattern);
    };
    std::optional<Listing> listing =
        calls_->run<Listing>(search, {waits_.transfer, {}, cancelAll()});
    if (!listing) return ERROR_INTERNET_TIMEOUT;
    entries = std::move(listing->entries);
    return listing->error;
  }

  FtpError size(const std::string& remotePath, std::uint64_t& bytes) override {
    connectBackMissing_ = false;
    if (!connection_) return kNoConnection;
    // The find data of the file itself (a listing of its path) carries its size.
    auto search = [connection = connection_.get(), pattern = widenUtf8(remotePath)] {
      return listAll(connection, pattern);
    };
    std::optional<Listing> listing =
        calls_->run<Listing>(search, {waits_.transfer, {}, cancelAll()});
    if (!listing) return ERROR_INTERNET_TIMEOUT;
    if (listing->error != kFtpOk) return listing->error;
    if (listing->entries.size() != 1 || listing->entries.front().isFolder)
      return ERROR_FILE_NOT_FOUND;
    bytes = listing->entries.front().size;
    return kFtpOk;
  }

  FtpError localFileError() const override { return ERROR_CANNOT_MAKE; }

  void disconnect() override {
    connection_.reset();
    internet_.reset();
    calls_.reset();
  }

  bool isAbsent(FtpError code) const override {
    // The server's 550 comes as the extended error; an empty folder lists no first entry.
    return code == ERROR_INTERNET_EXTENDED_ERROR || code == ERROR_NO_MORE_FILES;
  }

  FtpStall stallOf(FtpError code, bool connecting) const override {
    if (code != ERROR_INTERNET_TIMEOUT || connectBackMissing_) return FtpStall::None;
    return connecting ? FtpStall::Connect : FtpStall::Transfer;
  }

  FtpFailure failureOf(FtpError code) const override {
    if (code == ERROR_INTERNET_TIMEOUT && connectBackMissing_) return FtpFailure::ConnectBack;
    switch (code) {
      case ERROR_INTERNET_CANNOT_CONNECT:
      case ERROR_INTERNET_TIMEOUT:
      case ERROR_INTERNET_NAME_NOT_RESOLVED:
        return FtpFailure::Unreachable;
      case ERROR_INTERNET_LOGIN_FAILURE:
      case ERROR_INTERNET_INCORRECT_PASSWORD:
      case ERROR_INTERNET_INCORRECT_USER_NAME:
        return FtpFailure::LoginRefused;
      case ERROR_DISK_FULL:
      case ERROR_HANDLE_DISK_FULL:
        return FtpFailure::DiskFull;
      case ERROR_ACCESS_DENIED:
      case ERROR_WRITE_PROTECT:
        return FtpFailure::NotWritable;
      default:
        return FtpFailure::Other;
    }
  }

 private:
  void setTimeout(DWORD option, std::chrono::milliseconds wait) {
    DWORD milliseconds = static_cast<DWORD>(wait.count());
    InternetSetOptionW(internet_.get(), option, &milliseconds, sizeof milliseconds);
  }

  // Closing the handles is WinINet's way to cancel a blocked call; the call thread stays behind.
  std::function<void()> cancelAll() {
    return [this] {
      connection_.reset();
      internet_.reset();
    };
  }

  FtpWaits waits_;
  std::unique_ptr<CallThread> calls_;
  InternetHandle internet_;
  InternetHandle connection_;
  FtpError error_ = kFtpOk;
  // Whether the last fetch was given up before its first byte: the server's connection back to
  // this PC never came.
  bool connectBackMissing_ = false;
};

}  // namespace

std::unique_ptr<FtpClient> makeFtpClient(const FtpWaits& waits) {
  return std::make_unique<WinInetFtpClient>(waits);
}

}  // namespace provision
