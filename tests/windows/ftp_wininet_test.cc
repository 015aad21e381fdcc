// The package server client on WinINet: Windows' own error codes in the error lines, and no
// transfer without a connection. Runs under Wine in a namespace with nothing but loopback; the
// server here is a scripted one on 127.0.0.1:21.
#include <gtest/gtest.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <filesystem>
#include <string>
#include <thread>

#include "ftp/ftp_source.h"
#include "settings/settings.h"
#include "workspace/filesystem.h"

namespace provision {
namespace {

namespace fs = std::filesystem;

constexpr unsigned long kCannotConnect = 12029;  // ERROR_INTERNET_CANNOT_CONNECT
constexpr unsigned long kLoginFailure = 12015;   // ERROR_INTERNET_LOGIN_FAILURE

// An FTP server on 127.0.0.1:21 that greets one client and refuses its login.
class LoginRefusingServer {
 public:
  LoginRefusingServer() {
    WSADATA data;
    started_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    listener_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(21);
    inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    listening_ = ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                 ::listen(listener_, 1) == 0;
    if (listening_) thread_ = std::thread([this] { serveOne(); });
  }
  ~LoginRefusingServer() {
    if (thread_.joinable()) thread_.join();
    ::closesocket(listener_);
    if (started_) WSACleanup();
  }
  bool listening() const { return listening_; }
  // Commands the client sent, one per line.
  std::string received() {
    if (thread_.joinable()) thread_.join();
    return received_;
  }

 private:
  void serveOne() {
    SOCKET client = ::accept(listener_, nullptr, nullptr);
    if (client == INVALID_SOCKET) return;
    reply(client, "220 test server\r\n");
    std::string line;
    char c;
    while (::recv(client, &c, 1, 0) == 1) {
      if (c != '\n') {
        line += c;
        continue;
      }
      received_ += line.substr(0, line.find(' ')) + "\n";
      const bool user = line.rfind("USER", 0) == 0;
      reply(client, user ? "331 Password required\r\n" : "530 Login incorrect\r\n");
      line.clear();
      if (!user) break;
    }
    ::closesocket(client);
  }
  static void reply(SOCKET client, const std::string& text) {
    ::send(client, text.data(), static_cast<int>(text.size()), 0);
  }

  bool started_ = false;
  bool listening_ = false;
  SOCKET listener_ = INVALID_SOCKET;
  std::thread thread_;
  std::string received_;
};

class WinInetSource : public testing::Test {
 protected:
  void SetUp() override {
    settings.ftpHost = "127.0.0.1";
    folder_ =
        fs::temp_directory_path() / ("provision-ftp-" + std::to_string(GetCurrentProcessId()));
    fs::create_directories(folder_);
  }
  void TearDown() override { fs::remove_all(folder_); }

  std::string folder() const {
    const std::u8string text = folder_.u8string();
    return std::string(text.begin(), text.end());
  }

  fs::path folder_;
};

TEST_F(WinInetSource, RefusedConnectionReportsCannotConnect) {
  FtpSource source;
  testing::internal::CaptureStderr();
  EXPECT_EQ(source.open(), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "InternetConnect failed. Error: " + std::to_string(kCannotConnect) + "\n");
}

TEST_F(WinInetSource, RefusedLoginReportsLoginFailure) {
  LoginRefusingServer server;
  ASSERT_TRUE(server.listening());
  FtpSource source;
  testing::internal::CaptureStderr();
  EXPECT_EQ(source.open(), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "InternetConnect failed. Error: " + std::to_string(kLoginFailure) + "\n");
  EXPECT_EQ(server.received(), "USER\nPASS\n");
}

TEST_F(WinInetSource, NothingIsFetchedWithoutAConnection) {
  FtpSource source;
  testing::internal::CaptureStderr();
  ASSERT_EQ(source.open(), -1);
  testing::internal::GetCapturedStderr();

  testing::internal::CaptureStderr();
  EXPECT_EQ(source.downloadFile("/QM/CN/QMServer_LatestVersion.txt", folder()), -1);
  EXPECT_EQ(source.downloadFolder("/DeviceDataBase/ZR-100/U51/CalFile", folder()), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "FtpGetFile failed. Error: 6\nFtpFindFirstFile failed. Error: 6\n");
  EXPECT_TRUE(fs::is_empty(folder_));

  source.close();
  source.close();  // harmless twice
}

}  // namespace
}  // namespace provision
