// FtpSource against the lab's package server, and the rules for names a listing may hold.
#include "ftp/ftp_source.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "ftp/folder_listing.h"
#include "support/lab.h"

namespace provision {
namespace {

namespace fs = std::filesystem;
using test::Lab;
using test::NetnsScope;

// libcurl's codes as the error lines show them.
constexpr const char* kCouldNotConnect = "7";
constexpr const char* kFolderMissing = "9";
constexpr const char* kLocalWrite = "23";
constexpr const char* kLoginDenied = "67";
constexpr const char* kNoSuchFile = "78";

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void writeFile(const fs::path& path, const std::string& content) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

// Binary content that a text-mode transfer would change.
std::string packageBytes(size_t size) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) data[i] = "PK\r\n\0\x1a\xff"[i % 7];
  return data;
}

size_t count(const std::string& text, const std::string& pattern) {
  const std::regex expression(pattern);
  return std::distance(std::sregex_iterator(text.begin(), text.end(), expression),
                       std::sregex_iterator());
}

std::vector<std::string> namesIn(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
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
    writeFile(lab_.ftpRoot() + serverPath, content);
  }

  // Runs `call` and returns what it wrote to standard error; its result lands in `status`.
  template <typename Call>
  std::string stderrOf(Call call, int& status) {
    testing::internal::CaptureStderr();
    status = call();
    return testing::internal::GetCapturedStderr();
  }

  int download(FtpSource& ftp, const std::string& remote, std::string& err) {
    return download(ftp, remote, local_.string(), err);
  }
  int download(FtpSource& ftp, const std::string& remote, const std::string& folder,
               std::string& err) {
    int status = 0;
    err = stderrOf([&] { return ftp.downloadFile(remote, folder); }, status);
    return status;
  }
  int downloadFolder(FtpSource& ftp, const std::string& remote, std::string& err) {
    int status = 0;
    err = stderrOf([&] { return ftp.downloadFolder(remote, local_.string()); }, status);
    return status;
  }

  Lab lab_{test::uniqueLabName("ftp-source")};
  NetnsScope scope_{lab_};
  fs::path temp_;
  fs::path local_;
};

TEST(FtpListingNames, DotsFoldersAndUnsafeNames) {
  EXPECT_EQ(useOfEntry({".", false}), EntryUse::Skip);
  EXPECT_EQ(useOfEntry({"..", false}), EntryUse::Skip);
  EXPECT_EQ(useOfEntry({"..", true}), EntryUse::Skip);
  EXPECT_EQ(useOfEntry({"sub", true}), EntryUse::Skip);
  EXPECT_EQ(useOfEntry({"x\\y", true}), EntryUse::Skip);  // folders are never fetched anyway
  for (const char* fetched : {".hidden", "a", "Cal 1.bin", "a..b", "..x", "\xC3\xBC.zip"}) {
    EXPECT_EQ(useOfEntry({fetched, false}), EntryUse::Fetch) << fetched;
  }
  for (const char* refused : {"", " ", ". ", " .. ", "...", "..\\x", "x\\y", "a/b", "/", "x\ny",
                              "tab\tname", "del\x7f"}) {
    EXPECT_EQ(useOfEntry({refused, false}), EntryUse::Refuse) << '"' << refused << '"';
  }
}

TEST_F(FtpSourceTest, DownloadsByAbsolutePathInActiveBinaryModeOverOneLogin) {
  const std::string package = packageBytes(300000);
  serve("/ProcessEquipment/QM/55/Pkg_1.2.zip", package);
  serve("/top.txt", "at the top");
  serve(
      "/p/P\xC3\xA4"
      "ckchen \xC3\xBC.zip",
      "non-ascii");
  writeFile(local_ / "Pkg_1.2.zip", "an older copy, longer than nothing");

  FtpSource ftp;
  ASSERT_EQ(ftp.open(), 0);
  std::string err;
  EXPECT_EQ(download(ftp, "/ProcessEquipment/QM/55/Pkg_1.2.zip", err), 0) << err;
  EXPECT_EQ(download(ftp, "top.txt", err), 0) << err;  // no "/": its own name in the folder
  EXPECT_EQ(download(ftp,
                     "/p/P\xC3\xA4"
                     "ckchen \xC3\xBC.zip",
                     err),
            0)
      << err;
  EXPECT_EQ(err, "");
  ftp.close();

  EXPECT_EQ(readFile(local_ / "Pkg_1.2.zip"), package);  // overwritten, byte for byte
  EXPECT_EQ(readFile(local_ / "top.txt"), "at the top");
  EXPECT_EQ(readFile(local_ / "P\xC3\xA4"
                              "ckchen \xC3\xBC.zip"),
            "non-ascii");
  EXPECT_EQ(namesIn(local_).size(), 3u);  // nothing else, no temporary file

  const std::string log = lab_.ftpLog();
  EXPECT_EQ(count(log, "<- USER velqorn"), 1u) << log;
  EXPECT_EQ(count(log, "<- (EPRT|PORT) "), 3u) << log;
  EXPECT_EQ(count(log, "<- (EPSV|PASV)"), 0u) << log;
  EXPECT_EQ(count(log, "<- TYPE A"), 0u) << log;
}

TEST_F(FtpSourceTest, FailedDownloadsReportTheCodeAndLeaveNoFile) {
  serve("/p/Pkg.zip", "package");
  FtpSource ftp;
  ASSERT_EQ(ftp.open(), 0);
  std::string err;

  EXPECT_EQ(download(ftp, "/p/", err), -1);  // no file name
  EXPECT_EQ(err, std::string("FtpGetFile failed. Error: ") + kLocalWrite + "\n");
  EXPECT_EQ(download(ftp, "/p/absent.zip", err), -1);
  EXPECT_EQ(err, std::string("FtpGetFile failed. Error: ") + kNoSuchFile + "\n");
  EXPECT_EQ(download(ftp, "/p/Pkg.zip", (local_ / "absent").string(), err), -1);
  EXPECT_EQ(err, std::string("FtpGetFile failed. Error: ") + kLocalWrite + "\n");
  EXPECT_TRUE(fs::is_empty(local_));

  EXPECT_EQ(download(ftp, "/p/Pkg.zip", err), 0) << err;  // the connection is still good
  EXPECT_EQ(readFile(local_ / "Pkg.zip"), "package");
}

TEST_F(FtpSourceTest, DroppedTransferKeepsTheEarlierCopy) {
  serve("/p/Pkg.zip", packageBytes(200000));
  ASSERT_TRUE(lab_.ftpFault({"drop-after", "1000", "/p/Pkg.zip"}));
  const fs::path other = temp_ / "other";
  fs::create_directory(other);
  writeFile(local_ / "Pkg.zip", "the earlier copy");

  FtpSource ftp;
  ASSERT_EQ(ftp.open(), 0);
  std::string err;
  EXPECT_EQ(download(ftp, "/p/Pkg.zip", err), -1);
  // Partial file, or a failed accept when the server's 426 overtakes the data connection.
  EXPECT_TRUE(std::regex_match(err, std::regex("FtpGetFile failed\\. Error: (10|18)\n"))) << err;
  EXPECT_EQ(download(ftp, "/p/Pkg.zip", other.string(), err), -1);

  EXPECT_EQ(namesIn(local_), std::vector<std::string>{"Pkg.zip"});
  EXPECT_EQ(readFile(local_ / "Pkg.zip"), "the earlier copy");
  EXPECT_TRUE(fs::is_empty(other));  // neither a partial file nor a temporary one
  EXPECT_NE(lab_.ftpLog().find("RETR"), std::string::npos);
}

TEST_F(FtpSourceTest, RefusedLoginIsReportedAndNeverRetried) {
  serve("/p/Pkg.zip", "package");
  ASSERT_TRUE(lab_.ftpFault({"refuse-login"}));
  FtpSource ftp;
  int status = 0;
  EXPECT_EQ(stderrOf([&] { return ftp.open(); }, status),
            std::string("InternetConnect failed. Error: ") + kLoginDenied + "\n");
  EXPECT_EQ(status, -1);

  ASSERT_TRUE(lab_.ftpFault({"clear"}));
  std::string err;
  EXPECT_EQ(download(ftp, "/p/Pkg.zip", err), -1);
  EXPECT_EQ(err, std::string("FtpGetFile failed. Error: ") + kCouldNotConnect + "\n");
  EXPECT_EQ(downloadFolder(ftp, "/p", err), -1);
  EXPECT_EQ(err, std::string("FtpFindFirstFile failed. Error: ") + kCouldNotConnect + "\n");
  EXPECT_TRUE(fs::is_empty(local_));
  EXPECT_EQ(count(lab_.ftpLog(), "<- PASS"), 1u);
}

TEST_F(FtpSourceTest, ServerDownFailsOpen) {
  ASSERT_TRUE(lab_.ftpDown());
  FtpSource ftp;
  int status = 0;
  EXPECT_EQ(stderrOf([&] { return ftp.open(); }, status),
            std::string("InternetConnect failed. Error: ") + kCouldNotConnect + "\n");
  EXPECT_EQ(status, -1);
}

TEST_F(FtpSourceTest, CloseEndsTheSessionAndIsHarmlessTwice) {
  serve("/p/Pkg.zip", "package");
  {
    FtpSource neverOpened;
    neverOpened.close();
  }
  FtpSource ftp;
  ASSERT_EQ(ftp.open(), 0);
  ftp.close();
  ftp.close();
  std::string err;
  EXPECT_EQ(download(ftp, "/p/Pkg.zip", err), -1);
  EXPECT_EQ(err, std::string("FtpGetFile failed. Error: ") + kCouldNotConnect + "\n");

  const std::string log = lab_.ftpLog();
  EXPECT_EQ(count(log, "<- USER"), 1u) << log;
  EXPECT_EQ(count(log, "<- QUIT"), 1u) << log;
  EXPECT_EQ(count(log, "<- RETR"), 0u) << log;
}

TEST_F(FtpSourceTest, FolderDownloadFetchesFilesOnly) {
  serve("/DeviceDataBase/M/U1/Cal/a.tdms", "a");
  serve("/DeviceDataBase/M/U1/Cal/b.txt", "b");
  serve("/DeviceDataBase/M/U1/Cal/.hidden", "hidden");
  serve("/DeviceDataBase/M/U1/Cal/c/inner.txt", "inner");
  FtpSource ftp;
  ASSERT_EQ(ftp.open(), 0);
  std::string err;
  EXPECT_EQ(downloadFolder(ftp, "/DeviceDataBase/M/U1/Cal", err), 0);
  EXPECT_EQ(err, "");
  EXPECT_EQ(namesIn(local_), (std::vector<std::string>{".hidden", "a.tdms", "b.txt"}));
  EXPECT_EQ(readFile(local_ / "b.txt"), "b");

  // A trailing "/" names the same folder.
  fs::remove_all(local_ / "a.tdms");
  EXPECT_EQ(downloadFolder(ftp, "/DeviceDataBase/M/U1/Cal/", err), 0) << err;
  EXPECT_EQ(namesIn(local_), (std::vector<std::string>{".hidden", "a.tdms", "b.txt"}));
}

TEST_F(FtpSourceTest, FolderDownloadRefusesNamesUnsafeLocally) {
  serve("/cal/x\\y", "backslash");
  serve("/cal/..\\escape", "up");
  serve("/cal/...", "dots");
  serve("/cal/ok.bin", "ok");
  FtpSource ftp;
  ASSERT_EQ(ftp.open(), 0);
  std::string err;
  EXPECT_EQ(downloadFolder(ftp, "/cal", err), 0);
  EXPECT_EQ(namesIn(temp_), std::vector<std::string>{"local"});
  EXPECT_EQ(namesIn(local_), std::vector<std::string>{"ok.bin"});
  EXPECT_EQ(count(err, "\n"), 3u) << err;
  EXPECT_NE(err.find("/cal/x\\y\n"), std::string::npos) << err;
  EXPECT_NE(err.find("/cal/..\\escape\n"), std::string::npos) << err;
}

TEST_F(FtpSourceTest, FolderDownloadStopsAtTheFirstFailedFile) {
  for (const char* name : {"one", "two", "three"}) serve(std::string("/cal/") + name, name);
  ASSERT_TRUE(lab_.ftpFault({"refuse-retr", "2"}));
  FtpSource ftp;
  ASSERT_EQ(ftp.open(), 0);
  std::string err;
  EXPECT_EQ(downloadFolder(ftp, "/cal", err), -1);
  EXPECT_TRUE(std::regex_match(err, std::regex("FtpGetFile failed\\. Error: \\d+\n"))) << err;

  // The server lists in its own order: the file of the first RETR is kept, nothing else.
  const std::string log = lab_.ftpLog();
  std::smatch first;
  ASSERT_TRUE(std::regex_search(log, first, std::regex("<- RETR (\\w+)")));
  EXPECT_EQ(count(log, "<- RETR"), 2u) << log;
  EXPECT_EQ(namesIn(local_), std::vector<std::string>{first[1].str()});
}

TEST_F(FtpSourceTest, EmptyOrMissingFolderFailsTheListing) {
  fs::create_directories(lab_.ftpRoot() + "/empty");
  FtpSource ftp;
  ASSERT_EQ(ftp.open(), 0);
  std::string err;
  EXPECT_EQ(downloadFolder(ftp, "/empty", err), -1);
  EXPECT_EQ(err, std::string("FtpFindFirstFile failed. Error: ") + kNoSuchFile + "\n");
  EXPECT_EQ(downloadFolder(ftp, "/absent", err), -1);
  EXPECT_EQ(err, std::string("FtpFindFirstFile failed. Error: ") + kFolderMissing + "\n");
  EXPECT_TRUE(fs::is_empty(local_));
}

}  // namespace
}  // namespace provision
