// The run record's file on Windows: appends of several open handles, and moving it aside while
// another run holds it open.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "log/record_file.h"
#include "log/run_record.h"

namespace provision {
namespace {

namespace fs = std::filesystem;

std::string readBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(Win32RecordFile, HandlesAppendInTurnAndAnOpenFileCanBeMovedAside) {
  const fs::path folder =
      fs::temp_directory_path() / ("provision-record-" + std::to_string(GetCurrentProcessId()));
  fs::remove_all(folder);
  fs::create_directory(folder);
  const std::string path = (folder / kRecordFileName).string();
  std::ofstream(path, std::ios::binary) << std::string(kRecordSizeLimit + 1, 'x');
  std::ofstream(path + ".1", std::ios::binary) << "older";

  {
    RecordFile earlierRun;
    ASSERT_TRUE(earlierRun.open(path));
    {
      RunRecord record(path, "one");
      EXPECT_EQ(readBytes(path + ".1").size(), kRecordSizeLimit + 1) << "moved aside while open";
      RecordFile other;
      ASSERT_TRUE(other.open(path));
      EXPECT_TRUE(other.appendLine("two\nthree"));
      record.addLine("four");
    }
    EXPECT_TRUE(earlierRun.appendLine("into the moved file"));
  }
  const std::string lines = readBytes(path);
  EXPECT_NE(lines.find("] one\r\ntwo\r\nthree\r\n"), std::string::npos) << lines;
  EXPECT_TRUE(lines.ends_with("] four\r\n")) << lines;
  EXPECT_TRUE(readBytes(path + ".1").ends_with("xinto the moved file\r\n"));
  fs::remove_all(folder);
}

}  // namespace
}  // namespace provision
