#include "log/run_log.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <regex>
#include <sstream>

#include "log/record_file.h"
#include "log/run_record.h"
#include "support/files.h"

namespace provision {
namespace {

namespace fs = std::filesystem;
using test::readText;
using test::writeText;

TEST(RunLogLine, TagFollowsTheSeparatorAndTheMessageFollowsTheTag) {
  EXPECT_EQ(formatLogLine("2025:4:28 7:5:3", "Done", 1), "[2025:4:28 7:5:3] : [INFO]Done");
  EXPECT_EQ(formatLogLine("2025:4:28 7:5:3", "Done", 0), "[2025:4:28 7:5:3] : Done");
  EXPECT_EQ(formatLogLine("2025:4:28 7:5:3", "Done", 2), "[2025:4:28 7:5:3] : [WARING]Done");
  EXPECT_EQ(formatLogLine("2025:4:28 7:5:3", "Done", 3), "[2025:4:28 7:5:3] : [ERROR]Done");
}

TEST(RunLogLine, UnknownLevelsAreInfo) {
  EXPECT_EQ(formatLogLine("t", "x", 4), "[t] : [INFO]x");
  EXPECT_EQ(formatLogLine("t", "x", 4000000000u), "[t] : [INFO]x");
}

TEST(RunLogLine, EmptyMessageEndsAfterTheTag) {
  EXPECT_EQ(formatLogLine("t", "", 3), "[t] : [ERROR]");
}

TEST(RunLogTimestamp, NumbersCarryNoLeadingZeros) {
  const std::regex layout(
      R"((\d{4}):([1-9]|1[0-2]):([1-9]|[12]\d|3[01]) ([0-9]|1\d|2[0-3]):([0-9]|[1-5]\d):([0-9]|[1-5]\d|60))");
  std::string stamp = makeTimestamp();
  EXPECT_TRUE(std::regex_match(stamp, layout)) << stamp;
  EXPECT_GE(stamp.size(), 14u);
  EXPECT_LE(stamp.size(), 19u);
}

TEST(RunLogTimestamp, UsesLocalTime) {
  // A zone far from UTC moves the hour; the text must follow the zone, not UTC.
  setenv("TZ", "UTC", 1);
  tzset();
  std::string utc = makeTimestamp();
  setenv("TZ", "Etc/GMT-12", 1);  // twelve hours ahead of UTC
  tzset();
  std::string ahead = makeTimestamp();
  unsetenv("TZ");
  tzset();
  auto hourOf = [](const std::string& s) { return std::stoi(s.substr(s.find(' ') + 1)); };
  EXPECT_EQ((hourOf(utc) + 12) % 24, hourOf(ahead)) << utc << " / " << ahead;
}

TEST(WriteLog, WritesOneFlushedLineToStandardOutput) {
  testing::internal::CaptureStdout();
  writeLog("first\nsecond", 3);
  std::string out = testing::internal::GetCapturedStdout();
  const std::regex line(
      R"(\[\d{4}:\d{1,2}:\d{1,2} \d{1,2}:\d{1,2}:\d{1,2}\] : \[ERROR\]first\nsecond\n)");
  EXPECT_TRUE(std::regex_match(out, line)) << out;
}

// A fresh folder for record files, removed afterwards.
class RunRecordTest : public testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/run-record-XXXXXX";
    ASSERT_NE(::mkdtemp(name), nullptr);
    folder_ = name;
    path_ = folder_ + "/provision.log";
  }
  void TearDown() override { fs::remove_all(folder_); }

  // The record's lines without their time and process ID, which must be there.
  static std::vector<std::string> textsOf(const std::string& record) {
    static const std::regex prefix(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \[\d+\] (.*))");
    std::vector<std::string> texts;
    std::istringstream lines(record);
    for (std::string line; std::getline(lines, line);) {
      std::smatch match;
      texts.push_back(std::regex_match(line, match, prefix) ? match[1].str() : "bad: " + line);
    }
    return texts;
  }

  std::string folder_;
  std::string path_;
};

TEST_F(RunRecordTest, HoldsRunLogAndStandardErrorLinesWhileTheConsoleGetsTheSameBytes) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  {
    RunRecord record(path_, "start: one");
    writeLog("logged", kLogError);
    std::cout << "plain, not recorded\n";
    std::cerr << "first error" << std::endl;
    recordFact("device line: ZR");
    std::cerr << "no line end " << 42;
    record.end("end: two");
  }
  std::cerr << "after the run" << std::endl;
  const std::string out = testing::internal::GetCapturedStdout();
  const std::string err = testing::internal::GetCapturedStderr();

  EXPECT_EQ(err, "first error\nno line end 42after the run\n");
  EXPECT_TRUE(out.ends_with("] : [ERROR]logged\nplain, not recorded\n")) << out;
  const std::vector<std::string> texts = textsOf(readText(path_));
  ASSERT_EQ(texts.size(), 6u) << readText(path_);
  EXPECT_EQ(texts[0], "start: one");
  EXPECT_EQ("log: " + out.substr(0, out.find('\n')), texts[1]);
  EXPECT_EQ(texts[2], "stderr: first error");
  EXPECT_EQ(texts[3], "device line: ZR");
  EXPECT_EQ(texts[4], "stderr: no line end 42");
  EXPECT_TRUE(std::regex_match(texts[5], std::regex(R"(end: two, \d+\.\d s)"))) << texts[5];
}

TEST_F(RunRecordTest, FileOverOneMebibyteMovesAsideReplacingTheOlderOne) {
  const std::string full(kRecordSizeLimit, 'x');
  writeText(path_, full);
  { RunRecord atTheLimit(path_, "start: at the limit"); }
  EXPECT_FALSE(fs::exists(path_ + ".1"));
  EXPECT_TRUE(readText(path_).starts_with(full));

  writeText(path_ + ".1", "oldest");
  const std::string over = readText(path_);
  { RunRecord overTheLimit(path_, "start: over the limit"); }
  EXPECT_EQ(readText(path_ + ".1"), over);
  EXPECT_EQ(textsOf(readText(path_)), std::vector<std::string>{"start: over the limit"});
}

TEST_F(RunRecordTest, UnwritableRecordIsReportedOnceAndChangesNothingElse) {
  // A folder cannot be opened as the file; /dev/full opens, but every write fails.
  fs::create_directory(path_);
  const std::string full = folder_ + "/full.log";
  fs::create_symlink("/dev/full", full);
  for (const std::string& path : {path_, full}) {
    testing::internal::CaptureStderr();
    {
      RunRecord record(path, "start");
      std::cerr << "an error" << std::endl;
      writeLog("logged", kLogInfo);
      recordUpload(full, "/opt/x", 0);
      record.end("end");
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Cannot write the run record " + path + "; this run is not recorded\nan error\n");
  }
}

TEST(RecordFile, LinesOfTwoWritersFollowOneAnother) {
  const std::string path = fs::temp_directory_path() / ("record-" + std::to_string(::getpid()));
  writeText(path, "earlier\n");
  {
    RecordFile first, second;
    ASSERT_TRUE(first.open(path));
    ASSERT_TRUE(second.open(path));
    EXPECT_TRUE(first.appendLine("one"));
    EXPECT_TRUE(second.appendLine("two"));
    EXPECT_TRUE(first.appendLine("three\nfour"));
  }
  EXPECT_EQ(readText(path), "earlier\none\ntwo\nthree\nfour\n");
  fs::remove(path);
}

}  // namespace
}  // namespace provision
