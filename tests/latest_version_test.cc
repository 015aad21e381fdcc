#include "workspace/latest_version.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <utility>

namespace provision {
namespace {

namespace fs = std::filesystem;

struct Reading {
  int status;
  std::string name, echoed;
  double seconds;
};

Reading readPointer(const std::string& content, PerLine perLine = PerLine::Echo) {
  const fs::path path = fs::temp_directory_path() / ("pointer-" + std::to_string(::getpid()));
  std::ofstream(path, std::ios::binary) << content;
  Reading r{0, "unchanged", "", 0};
  const auto start = std::chrono::steady_clock::now();
  testing::internal::CaptureStdout();
  r.status = readLatestVersion(path.string(), perLine, r.name);
  r.echoed = testing::internal::GetCapturedStdout();
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  fs::remove(path);
  return r;
}

TEST(LatestVersion, NameIsTheTextAfterTheLastLineFeedAndEveryLineIsEchoed) {
  struct Case {
    std::string content, name, echoed;
  } cases[] = {
      {"Pkg_1.2.zip", "Pkg_1.2.zip", "Pkg_1.2.zip\n"},
      {"Pkg.zip\n", "", "Pkg.zip\n"},
      {"Pkg.zip\r\n", "", "Pkg.zip\n"},  // the carriage return belongs to the line break
      {"Old.zip\r\nNew.zip", "New.zip", "Old.zip\nNew.zip\n"},
      {"", "", ""},
      {"  Pkg 1.zip\t ", "  Pkg 1.zip\t ", "  Pkg 1.zip\t \n"},
      {"Pkg.zip\r", "Pkg.zip\r", "Pkg.zip\r\n"},  // no line feed after it: it stays
      {"A\r\r\n\rB", "\rB", "A\r\n\rB\n"},
      {std::string("P\xC3\xBC\0g", 5), std::string("P\xC3\xBC\0g", 5),
       std::string("P\xC3\xBC\0g\n", 6)},
  };
  for (const Case& c : cases) {
    Reading r = readPointer(c.content);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.name, c.name) << testing::PrintToString(c.content);
    EXPECT_EQ(r.echoed, c.echoed) << testing::PrintToString(c.content);
  }
  EXPECT_EQ(readPointer("A\nB", PerLine::None).echoed, "");
}

TEST(LatestVersion, MissingFileGivesTwoAndKeepsTheName) {
  std::string name = "kept";
  EXPECT_EQ(readLatestVersion("/nonexistent/Pointer.txt", PerLine::Echo, name), 2);
  EXPECT_EQ(name, "kept");
}

TEST(LatestVersion, PausesOneSecondPerLine) {
  // The per-line action runs once for each line; a final line break starts no line.
  const std::pair<const char*, int> cases[] = {
      {"", 0}, {"Pkg.zip", 1}, {"Pkg.zip\n", 1}, {"A\nPkg.zip", 2}, {"A\n\nB\n", 3}};
  for (const auto& [content, lines] : cases) {
    std::istringstream in(content);
    std::string name;
    EXPECT_EQ(readLatestVersion(in, PerLine::None, name), lines) << content;
  }
  Reading two = readPointer("A\nPkg.zip", PerLine::Pause);
  EXPECT_GE(two.seconds, 1.95);
  EXPECT_EQ(two.echoed, "");
}

}  // namespace
}  // namespace provision
