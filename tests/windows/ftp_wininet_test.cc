// The package server client on WinINet: Windows' own error codes in the error lines, and no
// transfer without a connection. Runs under Wine in a namespace with nothing but loopback; the
// server here is a scripted one on 127.0.0.1:21.
#include <gtest/gtest.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "ftp/ftp_source.h"
#include "settings/settings.h"
#include "support/waits.h"
#include "windows/loopback.h"
#include "workspace/filesystem.h"

namespace provision {
namespace {

namespace fs = std::filesystem;

constexpr unsigned long kCannotConnect = 12029;  // ERROR_INTERNET_CANNOT_CONNECT
constexpr unsigned long kLoginFailure = 12015;   // ERROR_INTERNET_LOGIN_FAILURE

using namespace std::chrono_literals;

// An FTP server on 127.0.0.1:21 that greets one client and refuses its login.
class LoginRefusingServer {
 public:
  LoginRefusingServer() {
    if (listener_.listening()) thread_ = std::thread([this] { serveOne(); });
  }
  ~LoginRefusingServer() {
    if (thread_.joinable()) thread_.join();
  }
  bool listening() const { return listener_.listening(); }
  // Commands the client sent, one per line.
  std::string received() {
    if (thread_.joinable()) thread_.join();
    return received_;
  }

 private:
  void serveOne() {
    SOCKET client = ::accept(listener_.socket(), nullptr, nullptr);
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

  test::LoopbackListener listener_{21};
  std::thread thread_;
  std::string received_;
};

// What ScriptedServer does for its one client.
struct Script {
  bool greet = true;                           // false: accepts the connection and never answers
  std::string file;                            // what every RETR sends
  std::size_t stallAfter = std::string::npos;  // the server stops answering after so many bytes
  std::size_t piece = 65536;                   // the file goes in pieces of this size ...
  std::chrono::milliseconds pace = 0ms;        // ... one every `pace`
  bool stallListing = false;                   // LIST gets its 150 reply, then nothing
};

// An FTP server on 127.0.0.1:21 in active mode that logs any account in and follows its Script.
// Where the script has it stop answering, it keeps its connections open until it is destroyed.
class ScriptedServer {
 public:
  explicit ScriptedServer(Script script) : script_(std::move(script)) {
    if (listener_.listening()) thread_ = std::thread([this] { serve(); });
  }
  ~ScriptedServer() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
  }
  bool listening() const { return listener_.listening(); }

 private:
  // Waits until `sock` can be read; false when the server is being stopped.
  bool readable(SOCKET sock) const {
    while (!stopping_) {
      fd_set set;
      FD_ZERO(&set);
      FD_SET(sock, &set);
      timeval tick{0, 50000};
      if (::select(0, &set, nullptr, nullptr, &tick) != 0) return true;
    }
    return false;
  }
  void stall() const {
    while (!stopping_) std::this_thread::sleep_for(50ms);
  }
  static void send(SOCKET sock, std::string_view text) {
    ::send(sock, text.data(), static_cast<int>(text.size()), 0);
  }
  std::string readLine(SOCKET sock) const {
    std::string line;
    char c;
    while (readable(sock) && ::recv(sock, &c, 1, 0) == 1) {
      if (c == '\n') return line;
      if (c != '\r') line += c;
    }
    return {};
  }

  void serve() {
    if (!readable(listener_.socket())) return;
    SOCKET control = ::accept(listener_.socket(), nullptr, nullptr);
    if (script_.greet) {
      send(control, "220 test server\r\n");
      converse(control);
    }
    stall();
    ::closesocket(control);
  }

  void converse(SOCKET control) {
    for (std::string line = readLine(control); !line.empty(); line = readLine(control)) {
      const std::string command = line.substr(0, line.find(' '));
      if (command == "USER") {
        send(control, "331 Password required\r\n");
      } else if (command == "PASS") {
        send(control, "230 Logged in\r\n");
      } else if (command == "PORT") {
        int h1, h2, h3, h4, p1, p2;
        std::sscanf(line.c_str() + 5, "%d,%d,%d,%d,%d,%d", &h1, &h2, &h3, &h4, &p1, &p2);
        dataPort_ = p1 * 256 + p2;
        send(control, "200 PORT ok\r\n");
      } else if (command == "RETR" || command == "LIST") {
        send(control, "150 Opening data connection\r\n");
        if (command == "LIST" && script_.stallListing) return;
        if (!transfer(command == "RETR" ? script_.file : kListing)) return;
        send(control, "226 Transfer complete\r\n");
      } else {
        send(control, "200 ok\r\n");
      }
    }
  }

  // Sends `data` on a connection to the client's PORT address; false when it stopped answering.
  bool transfer(const std::string& data) {
    SOCKET sock = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = test::loopbackAddress(dataPort_);
    ::connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address);
    const std::size_t end = std::min(data.size(), script_.stallAfter);
    for (std::size_t sent = 0; sent < end && !stopping_; sent += script_.piece) {
      send(sock, std::string_view(data).substr(sent, std::min(script_.piece, end - sent)));
      std::this_thread::sleep_for(script_.pace);
    }
    const bool whole = end == data.size();
    if (!whole) stall();
    ::closesocket(sock);
    return whole;
  }

  static constexpr const char* kListing = "-rw-r--r-- 1 ftp ftp 5 Jan 01 2026 a.txt\r\n";

  test::LoopbackListener listener_{21};
  Script script_;
  std::atomic<bool> stopping_ = false;
  int dataPort_ = 0;
  std::thread thread_;
};

// What one step returned and wrote, and how long it took.
struct Outcome {
  int status = 0;
  std::string err;
  std::string out;
  double seconds = 0;
};

template <class Step>
Outcome capture(Step step) {
  Outcome outcome;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  test::Stopwatch stopwatch;
  outcome.status = step();
  outcome.seconds = stopwatch.seconds();
  outcome.err = testing::internal::GetCapturedStderr();
  outcome.out = testing::internal::GetCapturedStdout();
  return outcome;
}

class WinInetSource : public testing::Test {
 protected:
  void SetUp() override {
    settings.ftpHost = "127.0.0.1";
    folder_ =
        fs::temp_directory_path() / ("provision-ftp-" + std::to_string(GetCurrentProcessId()));
    fs::create_directories(folder_);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }

  std::string folder() const {
    const std::u8string text = folder_.u8string();
    return std::string(text.begin(), text.end());
  }

  fs::path folder_;
};

// The names in `folder`, sorted.
std::vector<std::string> namesIn(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::u8string name = entry.path().filename().u8string();
    names.emplace_back(name.begin(), name.end());
  }
  std::sort(names.begin(), names.end());
  return names;
}

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

namespace provision {
namespace {

constexpr unsigned long kTimeout = 12002;  // ERROR_INTERNET_TIMEOUT
const FtpWaits kWaits = test::shortFtpWaits();

// Checks that `outcome` is a step given up after `wait`: one stall line that names the step and the
// wait, at least that long after it began and before the program's own wait of that kind,
// `defaultWait`, would have ended.
void expectGivenUp(const Outcome& outcome, const std::string& step, std::chrono::milliseconds wait,
                   std::chrono::milliseconds defaultWait) {
  const double seconds = std::chrono::duration<double>(wait).count();
  EXPECT_TRUE(test::isOneErrorLine(outcome.out, "The package server stopped answering during " +
                                                    step + " (no reply for " +
                                                    std::to_string(wait.count() / 1000) + " s)"));
  EXPECT_GE(outcome.seconds, seconds - 0.1);
  EXPECT_LT(outcome.seconds, test::givenUpBefore(defaultWait));
}

// Opens a source with short waits: it must fail after the connect wait, with one stall line.
void expectLoginGivenUp() {
  FtpSource source(kWaits);
  const Outcome opened = capture([&] { return source.open(); });
  EXPECT_EQ(opened.status, -1);
  EXPECT_EQ(opened.err, "InternetConnect failed. Error: " + std::to_string(kTimeout) + "\n");
  expectGivenUp(opened, "the connection", kWaits.connect, FtpWaits{}.connect);
}

TEST_F(WinInetSource, ServerThatStopsAnsweringIsGivenUpAtTheLogin) {
  {
    Script script;
    script.greet = false;
    ScriptedServer server(script);
    ASSERT_TRUE(server.listening());
    expectLoginGivenUp();
  }
  // An address that does not answer at all.
  test::LoopbackListener full(21, 0);
  ASSERT_TRUE(full.listening());
  full.fillQueue();
  expectLoginGivenUp();
}

TEST_F(WinInetSource, TransferThatStopsIsGivenUpAndLaterCallsFailAtOnce) {
  auto server = std::make_unique<ScriptedServer>(
      Script{.file = std::string(300000, 'z'), .stallAfter = 1000});
  ASSERT_TRUE(server->listening());
  std::ofstream(folder_ / "Pkg.zip") << "the earlier copy";
  FtpSource source(kWaits);
  ASSERT_EQ(source.open(), 0);

  const Outcome stalled = capture([&] { return source.downloadFile("/p/Pkg.zip", folder()); });
  EXPECT_EQ(stalled.status, -1);
  EXPECT_EQ(stalled.err, "FtpGetFile failed. Error: " + std::to_string(kTimeout) + "\n");
  expectGivenUp(stalled, "the download of /p/Pkg.zip", kWaits.transfer, FtpWaits{}.transfer);
  // Under Wine the call given up still holds its temporary file; nothing else is there.
  for (const std::string& name : namesIn(folder_)) {
    EXPECT_TRUE(name == "Pkg.zip" || isPartialDownloadName(name)) << name;
  }

  const Outcome later = capture([&] {
    return source.downloadFile("/p/Other.zip", folder()) + source.downloadFolder("/p", folder());
  });
  EXPECT_EQ(later.status, -2);
  EXPECT_EQ(later.err, "FtpGetFile failed. Error: 6\nFtpFindFirstFile failed. Error: 6\n");
  EXPECT_EQ(later.out, "");  // no second wait, so no stall line

  // Once the server lets go of its connections, the call comes back and takes its file along.
  server.reset();
  for (int i = 0; i < 50 && namesIn(folder_).size() > 1; ++i) Sleep(100);
  EXPECT_EQ(namesIn(folder_), std::vector<std::string>{"Pkg.zip"});
  std::ifstream earlier(folder_ / "Pkg.zip");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(earlier), {}), "the earlier copy");
}

TEST_F(WinInetSource, ListingThatStopsIsGivenUp) {
  Script script;
  script.stallListing = true;
  ScriptedServer server(script);
  ASSERT_TRUE(server.listening());
  FtpSource source(kWaits);
  ASSERT_EQ(source.open(), 0);
  FolderFetch fetched;
  const Outcome stalled = capture([&] {
    fetched = source.fetchFolder("/cal", folder());
    return 0;
  });
  EXPECT_EQ(fetched.outcome, FolderFetch::Failed);
  EXPECT_EQ(fetched.failedPath, "/cal");
  EXPECT_EQ(stalled.err, "FtpFindFirstFile failed. Error: " + std::to_string(kTimeout) + "\n");
  expectGivenUp(stalled, "the listing of /cal", kWaits.transfer, FtpWaits{}.transfer);
  EXPECT_TRUE(fs::is_empty(folder_));
}

TEST_F(WinInetSource, SlowButMovingTransferIsNeverCut) {
  // 24 pieces a quarter of a second apart: three times the transfer wait in all.
  ASSERT_LE(kWaits.transfer, 2000ms);
  const std::string file = std::string(2400, 'q') + "end";
  Script script;
  script.file = file;
  script.piece = 100;
  script.pace = 250ms;
  ScriptedServer server(script);
  ASSERT_TRUE(server.listening());
  FtpSource source(kWaits);
  ASSERT_EQ(source.open(), 0);
  const Outcome slow = capture([&] { return source.downloadFile("/p/Slow.bin", folder()); });
  EXPECT_EQ(slow.status, 0) << slow.err;
  EXPECT_EQ(slow.out, "");
  EXPECT_GT(slow.seconds, 4.0);
  std::ifstream fetched(folder_ / "Slow.bin", std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(fetched), {}), file);
}

}  // namespace
}  // namespace provision
