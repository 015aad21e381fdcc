// FtpSource against the lab's package server, and the rules for names a listing may hold.
#include "ftp/ftp_source.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "support/files.h"
#include "support/ftp_log.h"
#include "support/lab.h"
#include "support/scenario.h"
#include "support/waits.h"
#include "workspace/local_name.h"

namespace provision {
namespace {

namespace fs = std::filesystem;
using test::countCommands;
using test::countOf;
using test::folderNames;
using test::readText;

// The error lines with libcurl's codes.
const std::string kNotConnected = "FtpGetFile failed. Error: 7\n";
const std::string kLocalWriteFailed = "FtpGetFile failed. Error: 23\n";

// The first line of what a call wrote to standard error: the client's error line, before the line
// that says what to check.
std::string errorLine(const std::string& err) { return err.substr(0, err.find('\n') + 1); }

// What `call` wrote to standard error; its result goes to `status`.
template <typename Call>
std::string stderrOf(int& status, Call call) {
  testing::internal::CaptureStderr();
  status = call();
  return testing::internal::GetCapturedStderr();
}

// A lab whose package server is `ftp` ("pyftpdlib" or "vsftpd"), a scratch folder and a client.
class FtpSourceLab : public testing::Test {
 protected:
  explicit FtpSourceLab(const std::string& ftp)
      : lab_(test::uniqueLabName(("ftp-source-" + ftp).c_str()), "qm", "openssh", ftp),
        scope_(lab_) {}

  void SetUp() override {
    ASSERT_TRUE(lab_.ok()) << lab_.startError();
    ASSERT_TRUE(scope_.ok());
    char name[] = "/tmp/ftp-source-XXXXXX";
    ASSERT_NE(::mkdtemp(name), nullptr);
    temp_ = name;
    local_ = temp_ / "local";
    fs::create_directory(local_);
  }
  void TearDown() override {
    if (!temp_.empty()) fs::remove_all(temp_);
  }

  void serve(const std::string& serverPath, const std::string& content) {
    fs::path path = lab_.ftpRoot() + serverPath;
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
  }
  // Downloads into `folder` (the local folder by default); returns the standard error text.
  std::string get(const std::string& remote, int expected, std::string folder = "") {
    int status = 0;
    std::string err = stderrOf(status, [&] {
      return ftp_.downloadFile(remote, folder.empty() ? local_.string() : folder);
    });
    EXPECT_EQ(status, expected) << remote << ": " << err;
    return err;
  }
  // Lists a server folder; returns the standard error text, the names (folders with a "/").
  std::string list(const std::string& remote, int expected, std::vector<std::string>* names = {}) {
    int status = 0;
    std::vector<FtpEntry> entries;
    std::string err = stderrOf(status, [&] { return ftp_.listFolder(remote, entries); });
    EXPECT_EQ(status, expected) << remote << ": " << err;
    if (names) {
      names->clear();
      for (const FtpEntry& entry : entries)
        names->push_back(entry.name + (entry.isFolder ? "/" : ""));
      std::sort(names->begin(), names->end());
    }
    return err;
  }

  test::Lab lab_;
  test::NetnsScope scope_;
  fs::path temp_, local_;
  FtpSource ftp_;
};

// The cases that need the faults only the pyftpdlib server has.
class FtpSourceTest : public FtpSourceLab {
 protected:
  FtpSourceTest() : FtpSourceLab("pyftpdlib") {}
};

// The cases whose outcome depends on how the server answers, against each server.
class FtpSourceServers : public FtpSourceLab, public testing::WithParamInterface<std::string> {
 protected:
  FtpSourceServers() : FtpSourceLab(GetParam()) {}
};

INSTANTIATE_TEST_SUITE_P(BothServers, FtpSourceServers, testing::Values("pyftpdlib", "vsftpd"),
                         [](const testing::TestParamInfo<std::string>& server) {
                           return server.param;
                         });

TEST(LocalNames, UnsafeNamesAreRefused) {
  for (const char* safe : {".hidden", "a", "Cal 1.bin", "a..b", "..x", "\xC3\xBC.zip"}) {
    EXPECT_TRUE(isSafeLocalName(safe, NameRule::Posix)) << safe;
  }
  for (const char* refused : {"", " ", ". ", " .. ", "...", ".", "..", "..\\x", "x\\y", "a/b",
                              "x\ny", "tab\tname", "del\x7f"}) {
    EXPECT_FALSE(isSafeLocalName(refused, NameRule::Posix)) << '"' << refused << '"';
    EXPECT_FALSE(isSafeOnEveryStation(refused)) << '"' << refused << '"';
  }
}

TEST(LocalNames, WindowsRuleRefusesDevicesStreamsAndStrippedEndings) {
  for (const char* refused :
       {"CON", "con.txt", "Com1.tar.gz", "lpt9", "NUL .cal", "aux", "PRN.", "COM\xC2\xB9.log",
        "CONIN$", "a:b", "gain.cal:hidden", "name.", "name ", "a?b", "a*b", "a|b", "a\"b", "a<b"}) {
    EXPECT_FALSE(isSafeLocalName(refused, NameRule::Windows)) << refused;
    EXPECT_FALSE(isSafeOnEveryStation(refused)) << refused;
    EXPECT_TRUE(isSafeLocalName(refused, NameRule::Posix)) << refused;  // harmless elsewhere
  }
  for (const char* safe :
       {"CONFIG.SYS", "con1.txt", "COM10", "LPT", "x.con", "icon", ".hidden", "Cal 1.bin", "..x"}) {
    EXPECT_TRUE(isSafeLocalName(safe, NameRule::Windows)) << safe;
    EXPECT_TRUE(isSafeOnEveryStation(safe)) << safe;
  }
}

TEST(LocalNames, NamesThatWindowsTakesForOneFoldAlike) {
  const std::pair<const char*, const char*> alike[] = {
      {"Gain.cal", "gain.cal"},
      {"VERST\xC3\x84RKUNG.cal", "verst\xC3\xa4rkung.cal"},  // Ä, ä
      {"\xC5\x81\xC3\xB3"
       "d\xC5\xBA.cal",
       "\xC5\x82\xC3\xB3"
       "d\xC5\xBA.cal"},                                                 // Ł, ł
      {"\xD0\x9A\xD0\x90\xD0\x9B.cal", "\xD0\xBA\xD0\xB0\xD0\xBB.cal"},  // КАЛ, кал
  };
  for (const auto& [upper, lower] : alike) EXPECT_EQ(foldedCase(upper), foldedCase(lower)) << upper;
  EXPECT_NE(foldedCase("gain.cal"), foldedCase("gain.cal "));
  EXPECT_NE(foldedCase("\xC5\xB9"), foldedCase("\xC5\xBB"));  // Ź, Ż: two letters
  EXPECT_EQ(foldedCase("\xFF\xC3"), "\xFF\xC3");              // no UTF-8: kept as it is
}

TEST_P(FtpSourceServers, DownloadsByAbsolutePathInActiveBinaryModeOverOneLogin) {
  std::string package(300000, '\0');  // bytes a text-mode transfer would change
  for (size_t i = 0; i < package.size(); ++i) package[i] = "PK\r\n\0\x1a\xff"[i % 7];
  const std::string nonAscii =
      "P\xC3\xA4"
      "ckchen \xC3\xBC.zip";
  serve("/ProcessEquipment/QM/55/Pkg_1.2.zip", package);
  serve("/top.txt", "at the top");
  serve("/p/" + nonAscii, "non-ascii");
  std::ofstream(local_ / "Pkg_1.2.zip") << "an older copy, longer than nothing";

  ASSERT_EQ(ftp_.open(), 0);
  EXPECT_EQ(get("/ProcessEquipment/QM/55/Pkg_1.2.zip", 0), "");
  EXPECT_EQ(get("top.txt", 0), "");  // no "/": the whole path is the name
  EXPECT_EQ(get("/p/" + nonAscii, 0), "");
  ftp_.close();

  EXPECT_EQ(readText((local_ / "Pkg_1.2.zip").string()), package);  // overwritten, byte for byte
  EXPECT_EQ(readText((local_ / "top.txt").string()), "at the top");
  EXPECT_EQ(readText((local_ / nonAscii).string()), "non-ascii");
  EXPECT_EQ(folderNames(local_.string()).size(), 3u);  // no temporary file left
  const std::string log = lab_.ftpLog();
  EXPECT_EQ(countCommands(log, "USER velqorn"), 1) << log;
  EXPECT_EQ(countCommands(log, "EPRT ") + countCommands(log, "PORT "), 3) << log;
  EXPECT_EQ(countCommands(log, "EPSV") + countCommands(log, "PASV") + countCommands(log, "TYPE A"),
            0)
      << log;
}

TEST_P(FtpSourceServers, SizeAndTimeAsTheServerTellsThemAndCopiesCarryTheTime) {
  serve("/p/Pkg.zip", "package, rebuilt");
  const auto serverTime = std::chrono::sys_seconds(std::chrono::seconds(1796112000));
  fs::last_write_time(lab_.ftpRoot() + "/p/Pkg.zip", std::chrono::file_clock::from_sys(serverTime));
  std::ofstream(local_ / "Pkg.zip") << "the earlier copy";
  ASSERT_EQ(ftp_.open(), 0);

  FtpFileFacts facts;
  EXPECT_EQ(ftp_.describeRemote("/p/Pkg.zip", facts), 0);
  EXPECT_EQ(facts.size, 16u);
  EXPECT_EQ(facts.modified, 1796112000);
  EXPECT_EQ(ftp_.describeRemote("/p/absent.zip", facts), -1);

  // A copy refused by the caller's check is removed; the earlier one stays as it was.
  std::string vetted;
  int status = 0;
  EXPECT_EQ(stderrOf(status,
                     [&] {
                       return ftp_.downloadFile("/p/Pkg.zip", local_.string(),
                                                [&](const std::string& path) {
                                                  vetted = readText(path);
                                                  return false;
                                                });
                     }),
            "");
  EXPECT_EQ(status, FtpSource::kDownloadRefused);
  EXPECT_EQ(vetted, "package, rebuilt");
  EXPECT_EQ(folderNames(local_.string()), std::vector<std::string>{"Pkg.zip"});
  EXPECT_EQ(readText((local_ / "Pkg.zip").string()), "the earlier copy");

  // An accepted copy takes its name with the server's time.
  EXPECT_EQ(get("/p/Pkg.zip", 0), "");
  EXPECT_EQ(readText((local_ / "Pkg.zip").string()), "package, rebuilt");
  EXPECT_EQ(std::chrono::file_clock::to_sys(fs::last_write_time(local_ / "Pkg.zip")), serverTime);
}

TEST_F(FtpSourceTest, OlderServerTellsNeitherSizeNorTimeAndTheRequestStillSucceeds) {
  serve("/p/Pkg.zip", "package, rebuilt");
  ASSERT_EQ(ftp_.open(), 0);
  FtpFileFacts facts;
  ASSERT_TRUE(lab_.ftpFault({"refuse-size-mdtm"}));
  EXPECT_EQ(ftp_.describeRemote("/p/Pkg.zip", facts), 0);
  EXPECT_FALSE(facts.size);
  EXPECT_FALSE(facts.modified);
}

TEST_P(FtpSourceServers, FailedDownloadsReportTheCodeAndLeaveNoFile) {
  serve("/p/Pkg.zip", "package");
  ASSERT_EQ(ftp_.open(), 0);
  EXPECT_EQ(errorLine(get("/p/", -1)), kLocalWriteFailed);  // no file name
  // Each failure's line says what to check.
  EXPECT_EQ(get("/p/absent.zip", -1),
            "FtpGetFile failed. Error: 78\n/p/absent.zip is not on the package server at "
            "192.168.10.1 (error 78): have it put there, then start the run again\n");
  EXPECT_EQ(ftp_.failureText(), "it is not there (error 78)");
  EXPECT_EQ(errorLine(get("/p/Pkg.zip", -1, (local_ / "absent").string())), kLocalWriteFailed);
  EXPECT_TRUE(fs::is_empty(local_));
  EXPECT_EQ(get("/p/Pkg.zip", 0), "");  // the connection is still good
  EXPECT_EQ(readText((local_ / "Pkg.zip").string()), "package");
}

TEST_F(FtpSourceTest, DroppedTransferKeepsTheEarlierCopy) {
  serve("/p/Pkg.zip", std::string(200000, 'z'));
  ASSERT_TRUE(lab_.ftpFault({"drop-after", "1000", "/p/Pkg.zip"}));
  const fs::path other = temp_ / "other";
  fs::create_directory(other);
  std::ofstream(local_ / "Pkg.zip") << "the earlier copy";

  ASSERT_EQ(ftp_.open(), 0);
  // Partial file, or a failed accept when the server's 426 overtakes the data connection: either
  // way a transfer that broke off, never the firewall.
  const std::string cut = get("/p/Pkg.zip", -1);
  EXPECT_TRUE(std::regex_match(cut, std::regex("FtpGetFile.*: (10|18)\nA transfer from the "
                                               "package server at [0-9.]+ broke off .*\n")))
      << cut;
  EXPECT_EQ(ftp_.lastFailure(), FtpFailure::Cut);
  get("/p/Pkg.zip", -1, other.string());
  EXPECT_EQ(folderNames(local_.string()), std::vector<std::string>{"Pkg.zip"});
  EXPECT_EQ(readText((local_ / "Pkg.zip").string()), "the earlier copy");
  EXPECT_TRUE(fs::is_empty(other));  // neither a partial file nor a temporary one
  EXPECT_EQ(countOf(lab_.ftpLog(), "<- RETR"), 2);
}

TEST_P(FtpSourceServers, FailedOpenIsReportedAndNeverRetried) {
  serve("/p/Pkg.zip", "package");
  ASSERT_TRUE(lab_.ftpFault({"refuse-login"}));
  int status = 0;
  EXPECT_EQ(stderrOf(status, [&] { return ftp_.open(); }), "InternetConnect failed. Error: 67\n");
  EXPECT_EQ(status, -1);
  ASSERT_TRUE(lab_.ftpFault({"clear"}));
  EXPECT_EQ(errorLine(get("/p/Pkg.zip", -1)), kNotConnected);
  EXPECT_EQ(errorLine(list("/p", -1)), "FtpFindFirstFile failed. Error: 7\n");
  EXPECT_TRUE(fs::is_empty(local_));
  EXPECT_EQ(countCommands(lab_.ftpLog(), "PASS"), 1) << lab_.ftpLog();

  ASSERT_TRUE(lab_.ftpDown());
  FtpSource down;
  EXPECT_EQ(stderrOf(status, [&] { return down.open(); }), "InternetConnect failed. Error: 7\n");
  EXPECT_EQ(status, -1);
}

TEST_P(FtpSourceServers, CloseEndsTheSessionAndIsHarmlessTwice) {
  serve("/p/Pkg.zip", "package");
  FtpSource().close();  // never opened: no session at all
  ASSERT_EQ(ftp_.open(), 0);
  ftp_.close();
  ftp_.close();
  EXPECT_EQ(errorLine(get("/p/Pkg.zip", -1)), kNotConnected);
  const std::string log = lab_.ftpLog();
  EXPECT_EQ(countCommands(log, "USER"), 1) << log;
  EXPECT_EQ(countCommands(log, "QUIT"), 1) << log;
  EXPECT_EQ(countCommands(log, "RETR"), 0) << log;
}

TEST_P(FtpSourceServers, ListingNamesEveryEntryWhateverItsName) {
  for (const char* name : {"a.tdms", "b.txt", ".hidden", "c/inner.txt", "x\\y", "..\\up", "..."}) {
    serve(std::string("/DeviceDataBase/M/U1/Cal/") + name, name);
  }
  fs::create_directories(lab_.ftpRoot() + "/empty");
  ASSERT_EQ(ftp_.open(), 0);
  std::vector<std::string> names;
  EXPECT_EQ(list("/DeviceDataBase/M/U1/Cal", 0, &names), "");
  std::erase_if(names, [](const std::string& name) { return name == "./" || name == "../"; });
  EXPECT_EQ(names, (std::vector<std::string>{"...", "..\\up", ".hidden", "a.tdms", "b.txt", "c/",
                                             "x\\y"}));
  EXPECT_EQ(list("/DeviceDataBase/M/U1/Cal/", 0), "");  // a trailing "/" names the same folder

  // An empty folder and one that is not there fail, each with what it means.
  EXPECT_EQ(list("/empty", -1), "FtpFindFirstFile failed. Error: 78\n");
  EXPECT_EQ(ftp_.lastFailure(), FtpFailure::Missing);
  EXPECT_EQ(list("/absent", -1), "FtpFindFirstFile failed. Error: 9\n");
  EXPECT_EQ(ftp_.lastFailure(), FtpFailure::NotEntered);
  EXPECT_TRUE(fs::is_empty(local_));
}

TEST_P(FtpSourceServers, SmallFilesAreReadIntoMemory) {
  serve("/p/Pkg.zip.sha256", "digest  Pkg.zip\n");
  serve("/p/Large.txt", std::string(5000, 'x'));
  ASSERT_EQ(ftp_.open(), 0);
  std::string content;
  int status = 0;
  EXPECT_EQ(stderrOf(status, [&] { return ftp_.readFile("/p/Pkg.zip.sha256", 100, content); }), "");
  EXPECT_EQ(status, 0);
  EXPECT_EQ(content, "digest  Pkg.zip\n");
  // A file longer than the limit is read one byte past it, which tells that it is.
  EXPECT_EQ(ftp_.readFile("/p/Large.txt", 100, content), 0);
  EXPECT_EQ(content, std::string(101, 'x'));
  // A file the server does not have is no failure, and says nothing.
  EXPECT_EQ(stderrOf(status, [&] { return ftp_.readFile("/p/absent.sha256", 100, content); }), "");
  EXPECT_EQ(status, FtpSource::kNotOnServer);
  EXPECT_TRUE(fs::is_empty(local_));
}

// Active mode: a PC firewall that drops the server's connection back fails the transfer with the
// advice that names it, whether the server connects back on the address (EPRT) or on the transfer.
TEST_P(FtpSourceServers, FirewallThatDropsTheConnectionBackIsNamed) {
  serve("/p/Pkg.zip", "package");
  // The connection back is given up after the connect wait, before a transfer that receives
  // nothing would be (the program's own waits are 10 s and 30 s).
  FtpWaits waits;
  waits.connect = std::chrono::milliseconds(1000);
  waits.transfer = std::chrono::milliseconds(4000);
  FtpSource ftp(waits);
  ASSERT_EQ(ftp.open(), 0);
  ASSERT_TRUE(lab_.blockConnectBack());
  int status = 0;
  testing::internal::CaptureStdout();
  EXPECT_EQ(stderrOf(status, [&] { return ftp.downloadFile("/p/Pkg.zip", local_.string()); }),
            "FtpGetFile failed. Error: 12\nThe package server at 192.168.10.1 could not connect "
            "back to this PC for a transfer (error 12): the PC's firewall must let provision "
            "accept connections on the package server's network (active FTP)\n");
  EXPECT_EQ(status, -1);
  EXPECT_EQ(ftp.lastFailure(), FtpFailure::ConnectBack);
  EXPECT_EQ(ftp.failureText(), "the package server could not connect back to this PC (error 12)");
  // A listing needs the connection back too; the advice is given once.
  std::vector<FtpEntry> entries;
  EXPECT_EQ(stderrOf(status, [&] { return ftp.listFolder("/p", entries); }),
            "FtpFindFirstFile failed. Error: 12\n");
  EXPECT_EQ(ftp.lastFailure(), FtpFailure::ConnectBack);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_TRUE(fs::is_empty(local_));
  EXPECT_GE(countCommands(lab_.ftpLog(), "RETR") + countCommands(lab_.ftpLog(), "EPRT"), 1)
      << lab_.ftpLog();
}

TEST_F(FtpSourceTest, ServerThatStopsAnsweringIsGivenUpAfterItsWait) {
  serve("/p/Pkg.zip", std::string(300000, 'z'));
  serve("/p/Other.zip", "other");
  std::ofstream(local_ / "Pkg.zip") << "the earlier copy";
  FtpSource ftp(test::shortFtpWaits());
  ASSERT_EQ(ftp.open(), 0);

  // The server stops in the middle of the transfer.
  ASSERT_TRUE(lab_.ftpFault({"stop-after", "1000", "/p/Pkg.zip"}));
  int status = 0;
  testing::internal::CaptureStdout();
  test::Stopwatch downloading;
  EXPECT_EQ(
      errorLine(stderrOf(status, [&] { return ftp.downloadFile("/p/Pkg.zip", local_.string()); })),
      "FtpGetFile failed. Error: 28\n");
  const double waited = downloading.seconds();
  EXPECT_EQ(test::maskTimestamps(testing::internal::GetCapturedStdout()),
            "[T] : [ERROR]The package server stopped answering during the download of "
            "/p/Pkg.zip (no reply for 2 s)\n");
  EXPECT_EQ(status, -1);
  // libcurl judges the speed over its last five seconds, so a stall shows that much later.
  EXPECT_GE(waited, 1.5);
  EXPECT_LT(waited, test::givenUpBefore(FtpWaits{}.transfer));
  EXPECT_EQ(folderNames(local_.string()), std::vector<std::string>{"Pkg.zip"});
  EXPECT_EQ(readText((local_ / "Pkg.zip").string()), "the earlier copy");

  // The connection is given up: what follows fails at once, without a wait and its error line.
  testing::internal::CaptureStdout();
  EXPECT_EQ(stderrOf(status, [&] { return ftp.downloadFile("/p/Other.zip", local_.string()); }),
            kNotConnected);
  std::vector<FtpEntry> entries;
  EXPECT_EQ(stderrOf(status, [&] { return ftp.listFolder("/p", entries); }),
            "FtpFindFirstFile failed. Error: 7\n");
  EXPECT_EQ(status, -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

  // A server that hangs before the login is given up after the connect wait.
  FtpSource next(test::shortFtpWaits());
  testing::internal::CaptureStdout();
  test::Stopwatch connecting;
  EXPECT_EQ(stderrOf(status, [&] { return next.open(); }), "InternetConnect failed. Error: 28\n");
  EXPECT_LT(connecting.seconds(), test::givenUpBefore(FtpWaits{}.connect));
  EXPECT_EQ(test::maskTimestamps(testing::internal::GetCapturedStdout()),
            "[T] : [ERROR]The package server stopped answering during the connection (no reply "
            "for 2 s)\n");
  EXPECT_EQ(status, -1);

  // Once the server answers again, the next step connects afresh: one connection at a time.
  ASSERT_TRUE(lab_.resume("ftp"));
  ASSERT_TRUE(lab_.ftpFault({"clear"}));
  EXPECT_EQ(ftp.reopen(), 0);
  EXPECT_EQ(ftp.downloadFile("/p/Other.zip", local_.string()), 0);
  EXPECT_EQ(ftp.reopen(), 0);  // a connection that is open is kept
  EXPECT_EQ(countOf(lab_.ftpLog(), "<- USER"), 2) << lab_.ftpLog();
}

// A server that takes one connection from an address at a time serves a whole session: every
// request goes over the connection the login made.
TEST_P(FtpSourceServers, EveryRequestGoesOverOneConnection) {
  serve("/p/Pkg.zip", "package");
  serve("/p/Pkg.zip.sha256", "digest  Pkg.zip\n");
  ASSERT_TRUE(lab_.ftpFault({"max-per-address", "1"}));
  ASSERT_EQ(ftp_.open(), 0);
  FtpFileFacts facts;
  EXPECT_EQ(ftp_.describeRemote("/p/Pkg.zip", facts), 0);
  EXPECT_EQ(facts.size, 7u);
  std::vector<std::string> names;
  EXPECT_EQ(list("/p", 0, &names), "");
  EXPECT_EQ(names, (std::vector<std::string>{"Pkg.zip", "Pkg.zip.sha256"}));
  std::string digest;
  EXPECT_EQ(ftp_.readFile("/p/Pkg.zip.sha256", 100, digest), 0);
  EXPECT_EQ(digest, "digest  Pkg.zip\n");
  EXPECT_EQ(get("/p/Pkg.zip", 0), "");
  EXPECT_EQ(get("/p/absent.zip", -1).substr(0, 29), "FtpGetFile failed. Error: 78\n");
  EXPECT_EQ(get("/p/Pkg.zip", 0), "");
  EXPECT_EQ(ftp_.reopen(), 0);
  // A second connection meanwhile is turned away at once: not a server that went silent.
  FtpSource second;
  int opened = 0;
  const std::string err = stderrOf(opened, [&] { return second.open(); });
  EXPECT_EQ(opened, -1);
  EXPECT_EQ(second.lastFailure(), FtpFailure::TurnedAway) << err;
  EXPECT_EQ(second.failureText(), "the package server turned the connection away with 421 (error " +
                                      std::to_string(second.lastError()) + ")");
  ftp_.close();
  EXPECT_EQ(readText((local_ / "Pkg.zip").string()), "package");
  const std::string log = lab_.ftpLog();
  EXPECT_EQ(countCommands(log, "USER"), 1) << log;
}

}  // namespace
}  // namespace provision
