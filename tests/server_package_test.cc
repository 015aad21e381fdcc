// Mode 2 on a QM unit from end to end: the real executable against the lab.
#include <gtest/gtest.h>

#include <regex>

#include "support/lab.h"
#include "support/scenario.h"

namespace provision::test {
namespace {

constexpr const char* kServerFolder = "/ProcessEquipment/QMServer/55/";
constexpr const char* kPackage = "QMServer_V3.1.zip";
const std::string kClosingLines =
    " Successful installation \nThe program will exit after 5 seconds \n";

class ServerPackage : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(lab_.ok()) << lab_.startError();
    ASSERT_EQ(lab_.fixture({"packages"}).status, 0);
    ASSERT_EQ(lab_.fixture({"device-qm"}).status, 0);
  }
  std::string pointerPath() const {
    return lab_.ftpRoot() + kServerFolder + "QMServer_LatestVersion.txt";
  }
  // What a successful run prints before the output of the device's commands.
  std::string head(const std::string& pointerEcho) const {
    return "QM\n" + pointerEcho +
           expectedProgress(fileSize(lab_.ftpRoot() + kServerFolder + kPackage)) + "\n";
  }

  Lab lab_{uniqueLabName("qm-mode2"), "qm"};
  TechnicianPc pc_{lab_};
};

TEST_F(ServerPackage, InstallsOnceDownloadsOnceAndWorksOffline) {
  writeText(lab_.devicePath("root/QMServer_old/x"), "old\n");

  ProcessResult first = pc_.run({});
  EXPECT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(first.err, "");
  EXPECT_TRUE(first.out.starts_with(head(std::string(kPackage) + "\n"))) << first.out;
  EXPECT_TRUE(first.out.ends_with("\n" + kClosingLines)) << first.out;
  EXPECT_NE(first.out.find("inflating: QMServer/install.sh"), std::string::npos) << first.out;
  EXPECT_GE(first.seconds, 5.0);
  EXPECT_EQ(folderNames(lab_.devicePath("root")), (std::vector<std::string>{"QMServer"}));
  EXPECT_NE(
      readText(lab_.devicePath("var/log/lab-evidence.log")).find("QMServer/install.sh root /root"),
      std::string::npos);
  EXPECT_EQ(folderNames(pc_.path("data/QM")),
            (std::vector<std::string>{"QMServer_LatestVersion.txt", kPackage}));
  const int downloadsAfterFirst = countOf(lab_.ftpLog(), "226 Transfer complete");

  // The package is local now: the second run fetches only the pointer file.
  ProcessResult second = pc_.run({});
  EXPECT_EQ(second.status, 0) << second.err;
  EXPECT_EQ(countOf(lab_.ftpLog(), "226 Transfer complete") - downloadsAfterFirst, 1)
      << lab_.ftpLog();

  ASSERT_TRUE(lab_.ftpDown());
  ProcessResult offline = pc_.run({});
  EXPECT_EQ(offline.status, 0) << offline.err;
  EXPECT_TRUE(std::regex_match(offline.err, std::regex(R"(InternetConnect failed\. Error: \d+\n)")))
      << offline.err;
  EXPECT_TRUE(offline.out.starts_with(head(std::string(kPackage) + "\n"))) << offline.out;
  EXPECT_TRUE(offline.out.ends_with(kClosingLines));
}

TEST_F(ServerPackage, EveryPointerLineIsEchoedAndTheLastNamesThePackage) {
  writeText(pointerPath(), std::string("QMServer_V3.0.zip\n") + kPackage);
  ProcessResult run = pc_.run({});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(run.out.starts_with(head("QMServer_V3.0.zip\n" + std::string(kPackage) + "\n")))
      << run.out;
  EXPECT_EQ(folderNames(lab_.devicePath("root")), (std::vector<std::string>{"QMServer"}));
}

TEST_F(ServerPackage, PointerEndingWithALineBreakNamesNoPackageAndTheRunFails) {
  writeText(pointerPath(), std::string(kPackage) + "\n");
  ProcessResult run = pc_.run({});
  EXPECT_NE(run.status, 0);
  EXPECT_TRUE(run.out.starts_with("QM\n" + std::string(kPackage) + "\n")) << run.out;
  EXPECT_EQ(run.out.find("Successful installation"), std::string::npos) << run.out;
  EXPECT_NE(
      maskTimestamps(run.out).find("[T] : [ERROR]Failed to install the server package, status "),
      std::string::npos)
      << run.out;
  EXPECT_TRUE(folderNames(lab_.devicePath("root")).empty());
}

TEST_F(ServerPackage, FailedUploadEndsTheRunWithItsStatusAndNoClosingLines) {
  ASSERT_EQ(lab_.device("mount -t tmpfs -o size=16k tmpfs /root").status, 0);
  ProcessResult run = pc_.run({});
  EXPECT_EQ(run.status, 256 - 14);
  EXPECT_EQ(run.out.find("Successful installation"), std::string::npos) << run.out;
  EXPECT_TRUE(maskTimestamps(run.out).ends_with(
      "[T] : [ERROR]Failed to install the server package, status -14\n"))
      << run.out;
  EXPECT_LT(run.seconds, 5.0);
}

TEST_F(ServerPackage, FailedPackageDownloadEndsWithOne) {
  ASSERT_TRUE(lab_.ftpFault({"refuse-retr", "2"}));  // the pointer file comes, the package not
  ProcessResult run = pc_.run({});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("FtpGetFile failed. Error: "), std::string::npos) << run.err;
  EXPECT_EQ(maskTimestamps(run.out),
            "QM\n" + std::string(kPackage) +
                "\n[T] : [ERROR]Failed to install the server package, status 1\n");
  EXPECT_EQ(folderNames(pc_.path("data/QM")),
            (std::vector<std::string>{"QMServer_LatestVersion.txt"}));
}

}  // namespace
}  // namespace provision::test
