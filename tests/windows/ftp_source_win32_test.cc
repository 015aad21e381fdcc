// The package server client (libcurl) on Windows: Winsock registered by the client itself, local
// files by UTF-8 names in any folder, the active-mode address, libcurl's codes in the error lines
// and its waits. Runs under Wine in a namespace with nothing but loopback; the server here is a
// scripted one on 127.0.0.1:21.
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
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "device/socket.h"
#include "ftp/ftp_source.h"
#include "settings/settings.h"
#include "support/waits.h"
#include "windows/loopback.h"
#include "workspace/filesystem.h"

namespace provision {
namespace {

namespace fs = std::filesystem;

using namespace std::chrono_literals;

// libcurl's codes, which the error lines carry on both platforms.
constexpr unsigned long kCannotConnect = 7;  // CURLE_COULDNT_CONNECT, also without a connection
constexpr unsigned long kTimedOut = 28;      // CURLE_OPERATION_TIMEDOUT
constexpr unsigned long kLoginDenied = 67;   // CURLE_LOGIN_DENIED

// "Verstärkung Kanal 1.cal": blanks and a letter beyond ASCII, in UTF-8.
const std::string kCalibrationName = "Verst\xc3\xa4rkung Kanal 1.cal";

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
  std::string file;                            // what every RETR sends (SIZE tells its size)
  std::size_t stallAfter = std::string::npos;  // the server stops answering after so many bytes
  std::size_t piece = 65536;                   // the file goes in pieces of this size ...
  std::chrono::milliseconds pace = 0ms;        // ... one every `pace`
  bool stallListing = false;                   // LIST connects back, then sends nothing
  std::chrono::milliseconds connectBackAfter = 0ms;  // how long after its 150 reply
};

// An FTP server on 127.0.0.1:21 in active mode (EPRT or PORT) that logs any account in and
// follows its Script. Where the script has it stop answering, it keeps its connections open until
// it is destroyed.
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
  // The command lines the client sent so far.
  std::vector<std::string> commands() {
    std::lock_guard lock(mutex_);
    return commands_;
  }

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
      {
        std::lock_guard lock(mutex_);
        commands_.push_back(line);
      }
      const std::string command = line.substr(0, line.find(' '));
      if (command == "USER") {
        send(control, "331 Password required\r\n");
      } else if (command == "PASS") {
        send(control, "230 Logged in\r\n");
      } else if (command == "PWD") {
        send(control, "257 \"/\"\r\n");
      } else if (command == "EPRT" || command == "PORT") {
        send(control, takeDataAddress(line) ? "200 ok\r\n" : "501 bad address\r\n");
      } else if (command == "SIZE") {
        send(control, "213 " + std::to_string(script_.file.size()) + "\r\n");
      } else if (command == "MDTM") {
        send(control, "550 no time\r\n");
      } else if (command == "RETR" || command == "LIST") {
        send(control, "150 Opening data connection\r\n");
        const bool listing = command == "LIST";
        if (!transfer(listing ? kListing : script_.file, listing && script_.stallListing)) return;
        send(control, "226 Transfer complete\r\n");
      } else if (command == "QUIT") {
        send(control, "221 bye\r\n");
        return;
      } else {
        send(control, "250 ok\r\n");
      }
    }
  }

  // The address of "EPRT |1|127.0.0.1|4000|" or "PORT 127,0,0,1,15,160".
  bool takeDataAddress(const std::string& line) {
    int h1, h2, h3, h4, p1, p2, port;
    char host[64];
    if (std::sscanf(line.c_str(), "EPRT |1|%63[0-9.]|%d|", host, &port) == 2) {
      dataHost_ = host;
      dataPort_ = port;
      return true;
    }
    if (std::sscanf(line.c_str(), "PORT %d,%d,%d,%d,%d,%d", &h1, &h2, &h3, &h4, &p1, &p2) == 6) {
      dataHost_ = std::to_string(h1) + "." + std::to_string(h2) + "." + std::to_string(h3) + "." +
                  std::to_string(h4);
      dataPort_ = p1 * 256 + p2;
      return true;
    }
    return false;
  }

  // Sends `data` on a connection to the client's data address; false when it stopped answering
  // (after part of the data, or, when `stallAtOnce`, before any).
  bool transfer(const std::string& data, bool stallAtOnce) {
    std::this_thread::sleep_for(script_.connectBackAfter);
    SOCKET sock = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = test::loopbackAddress(dataPort_);
    inet_pton(AF_INET, dataHost_.c_str(), &address.sin_addr);
    ::connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address);
    const std::size_t end = stallAtOnce ? 0 : std::min(data.size(), script_.stallAfter);
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
  std::string dataHost_ = "127.0.0.1";
  int dataPort_ = 0;
  std::mutex mutex_;
  std::vector<std::string> commands_;
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

std::string utf8(const fs::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

std::string contentOf(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class CurlSource : public testing::Test {
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

  std::string folder() const { return utf8(folder_); }

  fs::path folder_;
};

// The names in `folder`, sorted.
std::vector<std::string> namesIn(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.push_back(utf8(entry.path().filename()));
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST_F(CurlSource, ErrorLinesCarryLibcurlCodes) {
  {
    // Nothing listens: the client registered the process with Winsock itself (a socket can be
    // made without the test's own registration), and the refusal is reported as such.
    FtpSource source;
    testing::internal::CaptureStderr();
    EXPECT_EQ(source.open(), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "InternetConnect failed. Error: " + std::to_string(kCannotConnect) + "\n");
    const SOCKET probe = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    EXPECT_NE(probe, INVALID_SOCKET) << WSAGetLastError();
    ::closesocket(probe);

    // Nothing is fetched without a connection.
    testing::internal::CaptureStderr();
    EXPECT_EQ(source.downloadFile("/QM/CN/QMServer_LatestVersion.txt", folder()), -1);
    std::vector<FtpEntry> entries;
    EXPECT_EQ(source.listFolder("/DeviceDataBase/ZR-100/U51/CalFile", entries), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "FtpGetFile failed. Error: 7\nFtpFindFirstFile failed. Error: 7\n");
    EXPECT_TRUE(fs::is_empty(folder_));
    source.close();
    source.close();  // harmless twice
  }

  LoginRefusingServer server;
  ASSERT_TRUE(server.listening());
  FtpSource source;
  testing::internal::CaptureStderr();
  EXPECT_EQ(source.open(), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "InternetConnect failed. Error: " + std::to_string(kLoginDenied) + "\n");
  EXPECT_EQ(server.received(), "USER\nPASS\n");
}

TEST_F(CurlSource, FetchesByUtf8NamesInActiveModeOnTheControlConnectionsAddress) {
  std::string file(200000, '\0');  // bytes a text-mode transfer would change
  for (std::size_t i = 0; i < file.size(); ++i) file[i] = "PK\r\n\0\x1a\xff"[i % 7];
  // The server connects back a while after its 150 reply, so the client waits for it.
  ScriptedServer server(Script{.file = file, .connectBackAfter = 300ms});
  ASSERT_TRUE(server.listening());
  // A folder with blanks, "&" and letters beyond ASCII ("Prüfplatz 2 & Müller").
  const fs::path local = folder_ / fs::path(u8"Pr\u00fcfplatz 2 & M\u00fcller");
  fs::create_directories(local);
  FtpSource source;
  ASSERT_EQ(source.open(), 0);

  const Outcome fetched =
      capture([&] { return source.downloadFile("/Cal/" + kCalibrationName, utf8(local)); });
  EXPECT_EQ(fetched.status, 0) << fetched.err;
  // An SSH link registers with Winsock and lets go of it again; the client keeps its own.
  ASSERT_TRUE(net::startup());
  net::cleanup();
  const Outcome again = capture([&] { return source.downloadFile("/top.bin", utf8(local)); });
  EXPECT_EQ(again.status, 0) << again.err;

  EXPECT_EQ(namesIn(local),
            (std::vector<std::string>{"Verst\xc3\xa4rkung Kanal 1.cal", "top.bin"}));
  EXPECT_EQ(contentOf(local / fs::path(u8"Verst\u00e4rkung Kanal 1.cal")), file);
  const std::vector<std::string> commands = server.commands();
  // The whole name went to the server, blanks included.
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "RETR " + kCalibrationName), 1);
  // Each transfer asked the server to connect back to the address the control connection has.
  const auto active = std::count_if(commands.begin(), commands.end(), [](const std::string& line) {
    return line.starts_with("EPRT |1|127.0.0.1|") || line.starts_with("PORT 127,0,0,1,");
  });
  EXPECT_EQ(active, 2);
  for (const std::string& line : commands) {
    EXPECT_FALSE(line.starts_with("PASV") || line.starts_with("EPSV")) << line;
  }
}

}  // namespace
}  // namespace provision

namespace provision {
namespace {

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
  EXPECT_EQ(opened.err, "InternetConnect failed. Error: " + std::to_string(kTimedOut) + "\n");
  expectGivenUp(opened, "the connection", kWaits.connect, FtpWaits{}.connect);
}

TEST_F(CurlSource, ServerThatStopsAnsweringIsGivenUpAtTheLogin) {
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

TEST_F(CurlSource, TransferThatStopsIsGivenUpAndLaterCallsFailAtOnce) {
  ScriptedServer server(Script{.file = std::string(300000, 'z'), .stallAfter = 1000});
  ASSERT_TRUE(server.listening());
  std::ofstream(folder_ / "Pkg.zip") << "the earlier copy";
  FtpSource source(kWaits);
  ASSERT_EQ(source.open(), 0);

  const Outcome stalled = capture([&] { return source.downloadFile("/p/Pkg.zip", folder()); });
  EXPECT_EQ(stalled.status, -1);
  EXPECT_TRUE(stalled.err.starts_with("FtpGetFile failed. Error: " + std::to_string(kTimedOut) +
                                      "\nThe package server at "))
      << stalled.err;
  expectGivenUp(stalled, "the download of /p/Pkg.zip", kWaits.transfer, FtpWaits{}.transfer);
  // The call given up has come back: its temporary file is gone, the earlier copy is intact.
  EXPECT_EQ(namesIn(folder_), std::vector<std::string>{"Pkg.zip"});
  EXPECT_EQ(contentOf(folder_ / "Pkg.zip"), "the earlier copy");

  std::vector<FtpEntry> entries;
  const Outcome later = capture([&] {
    return source.downloadFile("/p/Other.zip", folder()) + source.listFolder("/p", entries);
  });
  EXPECT_EQ(later.status, -2);
  EXPECT_EQ(later.err, "FtpGetFile failed. Error: 7\nFtpFindFirstFile failed. Error: 7\n");
  EXPECT_EQ(later.out, "");  // no second wait, so no stall line
}

TEST_F(CurlSource, ListingThatStopsIsGivenUp) {
  Script script;
  script.stallListing = true;
  ScriptedServer server(script);
  ASSERT_TRUE(server.listening());
  FtpSource source(kWaits);
  ASSERT_EQ(source.open(), 0);
  std::vector<FtpEntry> entries;
  const Outcome stalled = capture([&] { return source.listFolder("/cal", entries); });
  EXPECT_EQ(stalled.status, -1);
  EXPECT_EQ(source.lastFailure(), FtpFailure::Stalled);
  EXPECT_TRUE(stalled.err.starts_with(
      "FtpFindFirstFile failed. Error: " + std::to_string(kTimedOut) + "\nThe package server at "))
      << stalled.err;
  expectGivenUp(stalled, "the listing of /cal", kWaits.transfer, FtpWaits{}.transfer);
  EXPECT_TRUE(fs::is_empty(folder_));
}

TEST_F(CurlSource, SlowButMovingTransferIsNeverCut) {
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
  EXPECT_EQ(contentOf(folder_ / "Slow.bin"), file);
}

}  // namespace
}  // namespace provision
