// DownloadProgress: when its line shows, how often it changes, what it says and how it ends.
#include "ftp/download_progress.h"

#include <gtest/gtest.h>

#include <string>

#include "support/files.h"

namespace provision {
namespace {

using std::chrono::milliseconds;
using test::countOf;

const DownloadProgress::Clock::time_point kStart =
    DownloadProgress::Clock::time_point{} + std::chrono::hours(1);

TEST(DownloadProgress, QuietForASecondThenAtMostFourTimesASecondAndEndsWithALineBreak) {
  std::string written;
  DownloadProgress progress(
      "Pkg.zip", [&](const std::string& text) { written += text; }, kStart);
  progress.update(100000, 4000000, kStart + milliseconds(500));
  progress.update(900000, 4000000, kStart + milliseconds(999));
  EXPECT_EQ(written, "");

  progress.update(1000000, 4000000, kStart + milliseconds(1000));
  EXPECT_EQ(written, "\rPkg.zip: 25% of 4.0 MB, 1.0 MB at 1.0 MB/s");
  progress.update(1100000, 4000000, kStart + milliseconds(1100));
  progress.update(1240000, 4000000, kStart + milliseconds(1249));
  EXPECT_EQ(countOf(written, "\r"), 1) << "a quarter of a second between updates";
  progress.update(1250000, 4000000, kStart + milliseconds(1250));
  EXPECT_TRUE(written.ends_with("\rPkg.zip: 31% of 4.0 MB, 1.2 MB at 1.0 MB/s")) << written;

  // The end shows the last state, at the rate of the whole download.
  progress.finish(kStart + milliseconds(1300));
  EXPECT_TRUE(written.ends_with("\rPkg.zip: 31% of 4.0 MB, 1.2 MB at 962 kB/s\n")) << written;
  progress.update(4000000, 4000000, kStart + milliseconds(5000));
  progress.finish(kStart + milliseconds(5000));
  EXPECT_EQ(countOf(written, "\n"), 1) << "nothing after the end";

  // A download that ends within its first second leaves no line at all.
  std::string quick;
  DownloadProgress shortOne(
      "Pkg.zip", [&](const std::string& text) { quick += text; }, kStart);
  shortOne.update(4000000, 4000000, kStart + milliseconds(900));
  shortOne.finish(kStart + milliseconds(950));
  EXPECT_EQ(quick, "");
}

TEST(DownloadProgress, AShorterLineBlanksWhatTheLongerOneLeft) {
  std::string written;
  DownloadProgress progress(
      "Pkg.zip", [&](const std::string& text) { written += text; }, kStart);
  progress.update(2000000, 0, kStart + milliseconds(1000));
  progress.update(2000000, 0, kStart + milliseconds(21000));  // the rate falls to 95 kB/s
  EXPECT_EQ(written,
            "\rPkg.zip: 2.0 MB at 2.0 MB/s"
            "\rPkg.zip: 2.0 MB at 95 kB/s ");
}

TEST(DownloadProgressText, NamePercentageBytesAndRate) {
  struct Case {
    std::uint64_t received, total;
    double seconds;
    const char* text;
  } cases[] = {
      {120800000, 268400000, 3.872, "QMServer_V3.1.zip: 45% of 268.4 MB, 120.8 MB at 31.2 MB/s"},
      {120800000, 0, 3.872, "QMServer_V3.1.zip: 120.8 MB at 31.2 MB/s"},  // the size not known
      {999, 2000, 2.0, "QMServer_V3.1.zip: 49% of 2 kB, 1 kB at 0 kB/s"},
      {300000, 200000, 1.0, "QMServer_V3.1.zip: 100% of 200 kB, 300 kB at 300 kB/s"},
      {5000000, 5000000, 0.0, "QMServer_V3.1.zip: 100% of 5.0 MB, 5.0 MB"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(downloadProgressText("QMServer_V3.1.zip", c.received, c.total, c.seconds), c.text);
  }
  // A name is shown as printable text.
  EXPECT_EQ(downloadProgressText("a\x1b[2Jb.zip", 0, 0, 0.0).find('\x1b'), std::string::npos);
}

}  // namespace
}  // namespace provision
