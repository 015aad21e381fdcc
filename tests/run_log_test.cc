#include "log/run_log.h"

#include <gtest/gtest.h>

#include <regex>

namespace provision {
namespace {

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

}  // namespace
}  // namespace provision
