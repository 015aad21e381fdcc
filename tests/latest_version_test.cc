#include "workspace/latest_version.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <utility>

namespace provision {
namespace {

namespace fs = std::filesystem;

struct Reading {
  PointerRead status;
  std::string name, echoed;  // echoed: all of standard output, the run log's lines too
  double seconds;
};

fs::path pointerPath() {
  return fs::temp_directory_path() / ("pointer-" + std::to_string(::getpid()));
}

Reading readPointer(const std::string& content, PerLine perLine = PerLine::Echo) {
  const fs::path path = pointerPath();
  std::ofstream(path, std::ios::binary) << content;
  Reading r{PointerRead::NotOpened, "unchanged", "", 0};
  const auto start = std::chrono::steady_clock::now();
  testing::internal::CaptureStdout();
  r.status = readLatestVersion(path.string(), perLine, r.name);
  r.echoed = testing::internal::GetCapturedStdout();
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  fs::remove(path);
  return r;
}

// `count` lines of `length` letters, each ending with a line feed.
std::string lines(int count, std::size_t length) {
  std::string text;
  for (int i = 0; i < count; ++i) text += std::string(length, 'a') + "\n";
  return text;
}

TEST(LatestVersion, NameIsTheTextAfterTheLastLineFeedAndEveryLineIsEchoed) {
  const std::string atTheLimits = lines(15, 255) + std::string(256, 'b');  // 4096 bytes, 16 lines
  struct Case {
    std::string content, name, echoed;
  } cases[] = {
      {"Pkg_1.2.zip", "Pkg_1.2.zip", "Pkg_1.2.zip\n"},
      {"Pkg.zip\n", "", "Pkg.zip\n"},
      {"Pkg.zip\r\n", "", "Pkg.zip\n"},  // the carriage return belongs to the line break
      {"Old.zip\r\nNew.zip", "New.zip", "Old.zip\nNew.zip\n"},
      {"", "", ""},
      {"\xEF\xBB\xBFPkg.zip", "Pkg.zip", "Pkg.zip\n"},  // Notepad's byte-order mark
      {"\xEF\xBB\xBF", "", ""},
      {"  Pkg 1.zip ", "  Pkg 1.zip ", "  Pkg 1.zip \n"},
      {"P\xC3\xBC.zip", "P\xC3\xBC.zip", "P\xC3\xBC.zip\n"},
      {"P\xFC.zip", "P\xFC.zip", "P?.zip\n"},  // not UTF-8: shown as "?", refused later
      {"A\n\nB\n", "", "A\n\nB\n"},
      {atTheLimits, std::string(256, 'b'), lines(15, 255) + std::string(256, 'b') + "\n"},
  };
  for (const Case& c : cases) {
    Reading r = readPointer(c.content);
    EXPECT_EQ(r.status, PointerRead::Read);
    EXPECT_EQ(r.name, c.name) << testing::PrintToString(c.content);
    EXPECT_EQ(r.echoed, c.echoed) << testing::PrintToString(c.content);
  }
  EXPECT_EQ(readPointer("A\nB", PerLine::None).echoed, "");
}

TEST(LatestVersion, WhatIsNoPointerFileIsRefusedBeforeALineIsEchoed) {
  const std::string binary = [] {
    std::string bytes(1 << 20, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7919 >> 3);
    return bytes;
  }();
  const std::pair<std::string, std::string> cases[] = {
      {binary, "is larger than 4096 bytes"},
      {lines(15, 255) + std::string(257, 'b'), "is larger than 4096 bytes"},
      {lines(17, 1), "has 17 lines, more than the 16 a pointer file may have"},
      {lines(16, 1) + "Pkg.zip", "has 17 lines"},
      {std::string("P\0g.zip", 7),
       "holds a control character (byte 0x00 at offset 1): it is no text"},
      {"Old.zip\nPkg\x1b[2J.zip", "holds a control character (byte 0x1B at offset 11)"},
      {"Pkg.zip\r", "holds a control character (byte 0x0D at offset 7)"},  // no line feed after it
      {"A\r\r\nB", "holds a control character (byte 0x0D at offset 1)"},
      {"\rPkg.zip", "holds a control character (byte 0x0D at offset 0)"},
      {"Pkg\t1.zip", "holds a control character (byte 0x09 at offset 3)"},
      {"Pkg.zip\x7f", "holds a control character (byte 0x7F at offset 7)"},
  };
  for (const auto& [content, problem] : cases) {
    const Reading r = readPointer(content);
    EXPECT_EQ(r.status, PointerRead::Refused) << problem;
    EXPECT_EQ(r.name, "unchanged") << problem;
    // One line, the run log's, and no line of the file before it.
    EXPECT_TRUE(r.echoed.starts_with("[")) << r.echoed;
    EXPECT_EQ(std::count(r.echoed.begin(), r.echoed.end(), '\n'), 1) << r.echoed;
    EXPECT_NE(r.echoed.find("[ERROR]The pointer file " + pointerPath().string() +
                            " is no pointer file: it " + problem),
              std::string::npos)
        << r.echoed;
    EXPECT_TRUE(r.echoed.ends_with("; nothing was installed\n")) << r.echoed;
  }
}

TEST(LatestVersion, MissingFileIsNotOpenedAndKeepsTheName) {
  std::string name = "kept";
  testing::internal::CaptureStdout();
  EXPECT_EQ(readLatestVersion("/nonexistent/Pointer.txt", PerLine::Echo, name),
            PointerRead::NotOpened);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(name, "kept");
}

TEST(LatestVersion, PausesOneSecondPerLine) {
  // The per-line action runs once for each line; a final line break starts no line.
  const std::pair<const char*, int> cases[] = {
      {"", 0}, {"Pkg.zip", 1}, {"Pkg.zip\n", 1}, {"A\nPkg.zip", 2}, {"A\n\nB\n", 3}};
  for (const auto& [content, lines] : cases) {
    std::string name;
    EXPECT_EQ(readPointerLines(content, PerLine::None, name), lines) << content;
  }
  Reading two = readPointer("A\nPkg.zip", PerLine::Pause);
  EXPECT_GE(two.seconds, 1.95);
  EXPECT_EQ(two.echoed, "");
}

}  // namespace
}  // namespace provision
