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

#include "ftp/folder_listing.h"
#include "support/files.h"
#include "support/lab.h"
#include "support/scenario.h"
#include "support/waits.h"

namespace provision {
namespace {

namespace fs = std::filesystem;
using test::countOf;
using test::folderNames;
using test::readText;

// The error lines with libcurl's codes.
const std::string kNotConnected = "FtpGetFile failed. Error: 7\n";
const std::string kLocalWriteFailed = "FtpGetFile failed. Error: 23\n";

// What `call` wrote to standard error; its result goes to `status`.
template <typename Call>
std::string stderrOf(int& status, Call call) {
  testing::internal::CaptureStderr();
  status = call();
  return testing::internal::GetCapturedStderr();
}

class FtpSourceTest : public testing::Test {
 protected:
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
  std::string getFolder(const std::string& remote, int expected) {
    int status = 0;
    std::string err =
        stderrOf(status, [&] { return ftp_.downloadFolder(remote, local_.string()); });
    EXPECT_EQ(status, expected) << remote << ": " << err;
    return err;
  }

  test::Lab lab_{test::uniqueLabName("ftp-source")};
  test::NetnsScope scope_{lab_};
  fs::path temp_, local_;
  FtpSource ftp_;
};

TEST(FtpListingNames, DotsFoldersAndUnsafeNames) {
  for (const char* skipped : {".", ".."}) EXPECT_EQ(useOfEntry({skipped, false}), EntryUse::Skip);
  EXPECT_EQ(useOfEntry({"x\\y", true}), EntryUse::Skip);  // folders are never fetched anyway
  for (const char* fetched : {".hidden", "a", "Cal 1.bin", "a..b", "..x", "\xC3\xBC.zip"}) {
    EXPECT_EQ(useOfEntry({fetched, false}), EntryUse::Fetch) << fetched;
  }
  for (const char* refused :
       {"", " ", ". ", " .. ", "...", "..\\x", "x\\y", "a/b", "x\ny", "tab\tname", "del\x7f"}) {
    EXPECT_EQ(useOfEntry({refused, false}), EntryUse::Refuse) << '"' << refused << '"';
  }
}

TEST(FtpListingNames, WindowsRuleRefusesDevicesStreamsAndStrippedEndings) {
  for (const char* refused :
       {"CON", "con.txt", "Com1.tar.gz", "lpt9", "NUL .cal", "aux", "PRN.", "COM\xC2\xB9.log",
        "CONIN$", "a:b", "gain.cal:hidden", "name.", "name ", "a?b", "a*b", "a|b", "a\"b", "a<b"}) {
    EXPECT_EQ(useOfEntry({refused, false}, NameRule::Windows), EntryUse::Refuse) << refused;
    EXPECT_TRUE(isSafeLocalName(refused, NameRule::Posix)) << refused;  // harmless elsewhere
  }
  for (const char* fetched :
       {"CONFIG.SYS", "con1.txt", "COM10", "LPT", "x.con", "icon", ".hidden", "Cal 1.bin", "..x"}) {
    EXPECT_EQ(useOfEntry({fetched, false}, NameRule::Windows), EntryUse::Fetch) << fetched;
  }
  EXPECT_EQ(useOfEntry({"CON", true}, NameRule::Windows), EntryUse::Skip);
}

TEST_F(FtpSourceTest, DownloadsByAbsolutePathInActiveBinaryModeOverOneLogin) {
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
  EXPECT_EQ(countOf(log, "<- USER velqorn"), 1) << log;
  EXPECT_EQ(countOf(log, "<- EPRT ") + countOf(log, "<- PORT "), 3) << log;
  EXPECT_EQ(countOf(log, "<- EPSV") + countOf(log, "<- PASV") + countOf(log, "<- TYPE A"), 0)
      << log;
}

TEST_F(FtpSourceTest, SizeAndTimeAsTheServerTellsThemAndCopiesCarryTheTime) {
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

  // An older server tells neither, and the request still succeeds.
  ASSERT_TRUE(lab_.ftpFault({"refuse-size-mdtm"}));
  EXPECT_EQ(ftp_.describeRemote("/p/Pkg.zip", facts), 0);
  EXPECT_FALSE(facts.size);
  EXPECT_FALSE(facts.modified);
}

TEST_F(FtpSourceTest, FailedDownloadsReportTheCodeAndLeaveNoFile) {
  serve("/p/Pkg.zip", "package");
  ASSERT_EQ(ftp_.open(), 0);
  EXPECT_EQ(get("/p/", -1), kLocalWriteFailed);  // no file name
  EXPECT_EQ(get("/p/absent.zip", -1), "FtpGetFile failed. Error: 78\n");
  EXPECT_EQ(get("/p/Pkg.zip", -1, (local_ / "absent").string()), kLocalWriteFailed);
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
  // Partial file, or a failed accept when the server's 426 overtakes the data connection.
  EXPECT_TRUE(std::regex_match(get("/p/Pkg.zip", -1), std::regex("FtpGetFile.*: (10|18)\n")));
  get("/p/Pkg.zip", -1, other.string());
  EXPECT_EQ(folderNames(local_.string()), std::vector<std::string>{"Pkg.zip"});
  EXPECT_EQ(readText((local_ / "Pkg.zip").string()), "the earlier copy");
  EXPECT_TRUE(fs::is_empty(other));  // neither a partial file nor a temporary one
  EXPECT_EQ(countOf(lab_.ftpLog(), "<- RETR"), 2);
}

TEST_F(FtpSourceTest, FailedOpenIsReportedAndNeverRetried) {
  serve("/p/Pkg.zip", "package");
  ASSERT_TRUE(lab_.ftpFault({"refuse-login"}));
  int status = 0;
  EXPECT_EQ(stderrOf(status, [&] { return ftp_.open(); }), "InternetConnect failed. Error: 67\n");
  EXPECT_EQ(status, -1);
  ASSERT_TRUE(lab_.ftpFault({"clear"}));
  EXPECT_EQ(get("/p/Pkg.zip", -1), kNotConnected);
  EXPECT_EQ(getFolder("/p", -1), "FtpFindFirstFile failed. Error: 7\n");
  EXPECT_TRUE(fs::is_empty(local_));
  EXPECT_EQ(countOf(lab_.ftpLog(), "<- PASS"), 1);

  ASSERT_TRUE(lab_.ftpDown());
  FtpSource down;
  EXPECT_EQ(stderrOf(status, [&] { return down.open(); }), "InternetConnect failed. Error: 7\n");
  EXPECT_EQ(status, -1);
}

TEST_F(FtpSourceTest, CloseEndsTheSessionAndIsHarmlessTwice) {
  serve("/p/Pkg.zip", "package");
  FtpSource().close();  // never opened: no session at all
  ASSERT_EQ(ftp_.open(), 0);
  ftp_.close();
  ftp_.close();
  EXPECT_EQ(get("/p/Pkg.zip", -1), kNotConnected);
  const std::string log = lab_.ftpLog();
  EXPECT_EQ(countOf(log, "<- USER"), 1) << log;
  EXPECT_EQ(countOf(log, "<- QUIT"), 1) << log;
  EXPECT_EQ(countOf(log, "<- RETR"), 0) << log;
}

TEST_F(FtpSourceTest, FolderDownloadFetchesPlainFilesWithSafeNames) {
  for (const char* name : {"a.tdms", "b.txt", ".hidden", "c/inner.txt", "x\\y", "..\\up", "..."}) {
    serve(std::string("/DeviceDataBase/M/U1/Cal/") + name, name);
  }
  ASSERT_EQ(ftp_.open(), 0);
  std::string err = getFolder("/DeviceDataBase/M/U1/Cal", 0);
  EXPECT_EQ(folderNames(temp_.string()), std::vector<std::string>{"local"});
  EXPECT_EQ(folderNames(local_.string()), (std::vector<std::string>{".hidden", "a.tdms", "b.txt"}));
  EXPECT_EQ(readText((local_ / "b.txt").string()), "b.txt");
  EXPECT_EQ(countOf(err, "\n"), 3) << err;  // one line per refused name
  EXPECT_NE(err.find("/Cal/x\\y\n"), std::string::npos) << err;
  EXPECT_NE(err.find("/Cal/..\\up\n"), std::string::npos) << err;

  fs::remove(local_ / "a.tdms");  // a trailing "/" names the same folder
  getFolder("/DeviceDataBase/M/U1/Cal/", 0);
  EXPECT_EQ(folderNames(local_.string()), (std::vector<std::string>{".hidden", "a.tdms", "b.txt"}));
}

TEST_F(FtpSourceTest, FolderDownloadStopsAtTheFirstFailedFile) {
  for (const char* name : {"one", "two", "three"}) serve(std::string("/cal/") + name, name);
  ASSERT_TRUE(lab_.ftpFault({"refuse-retr", "2"}));
  ASSERT_EQ(ftp_.open(), 0);
  std::string err = getFolder("/cal", -1);
  EXPECT_TRUE(std::regex_match(err, std::regex("FtpGetFile failed\\. Error: \\d+\n"))) << err;
  // The server lists in its own order: the file of the first RETR is kept, nothing else.
  const std::string log = lab_.ftpLog();
  std::smatch first;
  ASSERT_TRUE(std::regex_search(log, first, std::regex("<- RETR (\\w+)")));
  EXPECT_EQ(countOf(log, "<- RETR"), 2) << log;
  EXPECT_EQ(folderNames(local_.string()), std::vector<std::string>{first[1].str()});
}

TEST_F(FtpSourceTest, EmptyOrMissingFolderFailsTheListing) {
  fs::create_directories(lab_.ftpRoot() + "/empty");
  ASSERT_EQ(ftp_.open(), 0);
  EXPECT_EQ(getFolder("/empty", -1), "FtpFindFirstFile failed. Error: 78\n");
  EXPECT_EQ(getFolder("/absent", -1), "FtpFindFirstFile failed. Error: 9\n");
  EXPECT_TRUE(fs::is_empty(local_));
  // Told apart from a listing that failed.
  testing::internal::CaptureStderr();
  EXPECT_EQ(ftp_.fetchFolder("/empty", local_.string()).outcome, FolderFetch::Absent);
  EXPECT_EQ(ftp_.fetchFolder("/absent", local_.string()).outcome, FolderFetch::Absent);
  testing::internal::GetCapturedStderr();
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
  EXPECT_EQ(stderrOf(status, [&] { return ftp.downloadFile("/p/Pkg.zip", local_.string()); }),
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
  testing::internal::CaptureStderr();
  const FolderFetch listing = ftp.fetchFolder("/p", local_.string());
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(listing.outcome, FolderFetch::Failed);
  EXPECT_EQ(listing.failedPath, "/p");
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
}

}  // namespace
}  // namespace provision
