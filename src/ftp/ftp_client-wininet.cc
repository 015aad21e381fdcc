// The FTP client on WinINet. Error codes are Windows' own (GetLastError), for example 12029 when
// the server cannot be reached and 12014 when it refuses the login.
#include <windows.h>
#include <wininet.h>

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

class WinInetFtpClient : public FtpClient {
 public:
  explicit WinInetFtpClient(const FtpWaits& waits) : waits_(waits) {}
  ~WinInetFtpClient() override { disconnect(); }

  FtpConnect connect(const std::string& host, const std::string& user,
                     const std::string& password) override {
    disconnect();
    internet_.reset(InternetOpenW(kAgent, INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
    if (!internet_) return FtpConnect::Unavailable;
    setTimeout(INTERNET_OPTION_CONNECT_TIMEOUT, waits_.connect);
    for (DWORD option : {INTERNET_OPTION_SEND_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT,
                         INTERNET_OPTION_DATA_SEND_TIMEOUT, INTERNET_OPTION_DATA_RECEIVE_TIMEOUT})
      setTimeout(option, waits_.transfer);
    // Flags 0: no INTERNET_FLAG_PASSIVE, so the transfers use active FTP.
    connection_.reset(InternetConnectW(internet_.get(), widenUtf8(host).c_str(), kFtpPort,
                                       widenUtf8(user).c_str(), widenUtf8(password).c_str(),
                                       INTERNET_SERVICE_FTP, 0, 0));
    if (connection_) return FtpConnect::Connected;
    error_ = GetLastError();
    internet_.reset();
    return FtpConnect::Failed;
  }

  FtpError error() const override { return error_; }

  FtpError fetch(const std::string& remotePath, const std::string& localPath) override {
    if (!connection_) return kNoConnection;
    // Always from the server, never from WinINet's cache: a pointer file from an earlier run would
    // name an outdated package.
    if (FtpGetFileW(connection_.get(), widenUtf8(remotePath).c_str(), widenUtf8(localPath).c_str(),
                    FALSE, FILE_ATTRIBUTE_NORMAL, FTP_TRANSFER_TYPE_BINARY | INTERNET_FLAG_RELOAD,
                    0)) {
      return kFtpOk;
    }
    return GetLastError();
  }

  FtpError list(const std::string& remoteFolder, std::vector<FtpEntry>& entries) override {
    entries.clear();
    if (!connection_) return kNoConnection;
    WIN32_FIND_DATAW data;
    InternetHandle search(FtpFindFirstFileW(
        connection_.get(), widenUtf8(remoteFolder + "/*").c_str(), &data, INTERNET_FLAG_RELOAD, 0));
    if (!search) return GetLastError();
    // The listing ends at the first failure, normally ERROR_NO_MORE_FILES; any other ends it too.
    do {
      entries.push_back(
          {narrowUtf8(data.cFileName), (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
    } while (InternetFindNextFileW(search.get(), &data));
    return kFtpOk;
  }

  FtpError localFileError() const override { return ERROR_CANNOT_MAKE; }

  void disconnect() override {
    connection_.reset();
    internet_.reset();
  }

  bool isAbsent(FtpError code) const override {
    // The server's 550 comes as the extended error; an empty folder lists no first entry.
    return code == ERROR_INTERNET_EXTENDED_ERROR || code == ERROR_NO_MORE_FILES;
  }

  FtpStall stallOf(FtpError code, bool connecting) const override {
    if (code != ERROR_INTERNET_TIMEOUT) return FtpStall::None;
    return connecting ? FtpStall::Connect : FtpStall::Transfer;
  }

 private:
  void setTimeout(DWORD option, std::chrono::milliseconds wait) {
    DWORD milliseconds = static_cast<DWORD>(wait.count());
    InternetSetOptionW(internet_.get(), option, &milliseconds, sizeof milliseconds);
  }

  FtpWaits waits_;
  InternetHandle internet_;
  InternetHandle connection_;
  FtpError error_ = kFtpOk;
};

}  // namespace

std::unique_ptr<FtpClient> makeFtpClient(const FtpWaits& waits) {
  return std::make_unique<WinInetFtpClient>(waits);
}

}  // namespace provision
