#include "ftp/latest_version.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>

namespace provision {
namespace {

namespace fs = std::filesystem;

class LatestVersion : public testing::Test {
 protected:
  void SetUp() override {
    folder_ =
        fs::temp_directory_path() / ("latest-version-" + std::to_string(::getpid()) + "-" +
                                     testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(folder_);
  }
  void TearDown() override { fs::remove_all(folder_); }

  std::string write(const std::string& content) {
    fs::path path = folder_ / "Pointer_LatestVersion.txt";
    std::ofstream(path, std::ios::binary) << content;
    return path.string();
  }

  struct Reading {
    int status;
    std::string name;
    std::string echoed;
  };

  Reading read(const std::string& content, PerLine perLine = PerLine::Echo) {
    std::string path = write(content);
    Reading reading{0, "unchanged", ""};
    testing::internal::CaptureStdout();
    reading.status = readLatestVersion(path, perLine, reading.name);
    reading.echoed = testing::internal::GetCapturedStdout();
    return reading;
  }

  fs::path folder_;
};

TEST_F(LatestVersion, SingleLineWithoutBreakIsTheName) {
  Reading r = read("Pkg_1.2.zip");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.name, "Pkg_1.2.zip");
  EXPECT_EQ(r.echoed, "Pkg_1.2.zip\n");
}

TEST_F(LatestVersion, FinalLineFeedLeavesTheNameEmptyButEchoesTheLineOnce) {
  Reading r = read("Pkg.zip\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.name, "");
  EXPECT_EQ(r.echoed, "Pkg.zip\n");
}

TEST_F(LatestVersion, CarriageReturnBeforeLineFeedIsDropped) {
  Reading r = read("Pkg.zip\r\n");
  EXPECT_EQ(r.name, "");
  EXPECT_EQ(r.echoed, "Pkg.zip\n");

  r = read("A\r\nB.zip");
  EXPECT_EQ(r.name, "B.zip");
  EXPECT_EQ(r.echoed, "A\nB.zip\n");
}

TEST_F(LatestVersion, CarriageReturnsElsewhereStay) {
  // Only the one directly before a line feed belongs to the line break.
  EXPECT_EQ(read("Pkg.zip\r").name, "Pkg.zip\r");
  EXPECT_EQ(read("x\n\rPkg.zip").name, "\rPkg.zip");
  EXPECT_EQ(read("A\r\r\n").echoed, "A\r\n");
}

TEST_F(LatestVersion, LastLineWinsAndEveryLineIsEchoed) {
  Reading r = read("Old.zip\nNew.zip");
  EXPECT_EQ(r.name, "New.zip");
  EXPECT_EQ(r.echoed, "Old.zip\nNew.zip\n");
}

TEST_F(LatestVersion, EmptyFileGivesEmptyNameAndNoAction) {
  Reading r = read("");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.name, "");
  EXPECT_EQ(r.echoed, "");
}

TEST_F(LatestVersion, BlanksAndTabsArePartOfTheName) {
  EXPECT_EQ(read("  Pkg 1.zip\t ").name, "  Pkg 1.zip\t ");
}

TEST_F(LatestVersion, BytesAreTakenAsTheyStand) {
  std::string content("Pk\xC3\xBC\x00g.zip", 9);
  EXPECT_EQ(read(content).name, content);
}

TEST_F(LatestVersion, NoneWritesNothing) {
  Reading r = read("A\nB", PerLine::None);
  EXPECT_EQ(r.name, "B");
  EXPECT_EQ(r.echoed, "");
}

TEST_F(LatestVersion, MissingFileGivesTwoAndKeepsTheName) {
  std::string name = "kept";
  testing::internal::CaptureStdout();
  EXPECT_EQ(readLatestVersion((folder_ / "absent.txt").string(), PerLine::Echo, name), 2);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(name, "kept");
}

TEST_F(LatestVersion, PausesOneSecondPerLine) {
  using Clock = std::chrono::steady_clock;
  auto seconds = [&](const std::string& content) {
    auto start = Clock::now();
    Reading r = read(content, PerLine::Pause);
    EXPECT_EQ(r.echoed, "");
    return std::chrono::duration<double>(Clock::now() - start).count();
  };
  EXPECT_LT(seconds(""), 0.5);
  double one = seconds("Pkg.zip\n");  // a final break starts no further line
  EXPECT_GE(one, 0.95);
  EXPECT_LT(one, 1.8);
  double two = seconds("A\nPkg.zip");
  EXPECT_GE(two, 1.95);
  EXPECT_LT(two, 2.8);
}

}  // namespace
}  // namespace provision
