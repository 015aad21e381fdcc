#include "package/latest_version.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <utility>

namespace provision {
namespace {

namespace fs = std::filesystem;

fs::path pointerPath() {
  return fs::temp_directory_path() / ("pointer-" + std::to_string(::getpid()));
}

PointerFile readPointer(const std::string& content) {
  const fs::path path = pointerPath();
  std::ofstream(path, std::ios::binary) << content;
  PointerFile read = readPointerFile(path.string());
  fs::remove(path);
  return read;
}

// `count` lines of `length` letters, each ending with a line feed.
std::string lines(int count, std::size_t length) {
  std::string text;
  for (int i = 0; i < count; ++i) text += std::string(length, 'a') + "\n";
  return text;
}

TEST(LatestVersion, NameIsTheTextAfterTheLastLineFeedAndEveryLineIsRead) {
  const std::string atTheLimits = lines(15, 255) + std::string(256, 'b');  // 4096 bytes, 16 lines
  std::vector<std::string> limitLines(15, std::string(255, 'a'));
  limitLines.push_back(std::string(256, 'b'));
  struct Case {
    std::string content, name;
    std::vector<std::string> lines;
  } cases[] = {
      {"Pkg_1.2.zip", "Pkg_1.2.zip", {"Pkg_1.2.zip"}},
      {"Pkg.zip\n", "", {"Pkg.zip"}},
      {"Pkg.zip\r\n", "", {"Pkg.zip"}},  // the carriage return belongs to the line break
      {"Old.zip\r\nNew.zip", "New.zip", {"Old.zip", "New.zip"}},
      {"", "", {}},
      {"\xEF\xBB\xBFPkg.zip", "Pkg.zip", {"Pkg.zip"}},  // Notepad's byte-order mark
      {"\xEF\xBB\xBF", "", {}},
      {"  Pkg 1.zip ", "  Pkg 1.zip ", {"  Pkg 1.zip "}},
      {"P\xC3\xBC.zip", "P\xC3\xBC.zip", {"P\xC3\xBC.zip"}},
      {"P\xFC.zip", "P\xFC.zip", {"P\xFC.zip"}},  // not UTF-8: refused later, by name
      {"A\n\nB\n", "", {"A", "", "B"}},
      {atTheLimits, std::string(256, 'b'), limitLines},
  };
  for (const Case& c : cases) {
    const PointerFile read = readPointer(c.content);
    EXPECT_EQ(read.outcome, PointerFile::Read);
    EXPECT_EQ(read.packageName, c.name) << testing::PrintToString(c.content);
    EXPECT_EQ(read.lines, c.lines) << testing::PrintToString(c.content);
  }
}

TEST(LatestVersion, WhatIsNoPointerFileIsRefusedWithoutALine) {
  const std::string binary = [] {
    std::string bytes(1 << 20, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7919 >> 3);
    return bytes;
  }();
  const std::pair<std::string, std::string> cases[] = {
      {binary, "is larger than 4096 bytes"},
      {lines(15, 255) + std::string(257, 'b'), "is larger than 4096 bytes"},
      {lines(17, 1), "has 17 lines, more than the 16 a pointer file may have"},
      {lines(16, 1) + "Pkg.zip", "has 17 lines, more than the 16 a pointer file may have"},
      {std::string("P\0g.zip", 7),
       "holds a control character (byte 0x00 at offset 1): it is no text"},
      {"Old.zip\nPkg\x1b[2J.zip",
       "holds a control character (byte 0x1B at offset 11): it is no text"},
      {"Pkg.zip\r", "holds a control character (byte 0x0D at offset 7): it is no text"},
      {"A\r\r\nB", "holds a control character (byte 0x0D at offset 1): it is no text"},
      {"\rPkg.zip", "holds a control character (byte 0x0D at offset 0): it is no text"},
      {"Pkg\t1.zip", "holds a control character (byte 0x09 at offset 3): it is no text"},
      {"Pkg.zip\x7f", "holds a control character (byte 0x7F at offset 7): it is no text"},
  };
  for (const auto& [content, problem] : cases) {
    const PointerFile read = readPointer(content);
    EXPECT_EQ(read.outcome, PointerFile::Refused) << problem;
    EXPECT_EQ(read.problem, problem);
    EXPECT_TRUE(read.lines.empty()) << problem;
    EXPECT_EQ(read.packageName, "") << problem;
  }
}

TEST(LatestVersion, MissingFileOrFolderIsNotOpened) {
  EXPECT_EQ(readPointerFile("/nonexistent/Pointer.txt").outcome, PointerFile::NotOpened);
  EXPECT_EQ(readPointerFile(fs::temp_directory_path().string()).outcome, PointerFile::NotOpened);
}

}  // namespace
}  // namespace provision
