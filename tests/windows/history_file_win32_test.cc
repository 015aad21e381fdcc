// The unit history's file on Windows: a spreadsheet that holds it open, writers on several handles
// at once, and a folder with a non-ASCII name.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <latch>
#include <sstream>
#include <thread>
#include <vector>

#include "log/history_file.h"

namespace provision {
namespace {

namespace fs = std::filesystem;

std::string readBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void writeBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

int countOf(const std::string& text, const std::string& needle) {
  int count = 0;
  for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
    ++count;
  return count;
}

TEST(Win32HistoryFile, FileHeldOpenBySpreadsheetIsRefusedAndWritersTakeTurns) {
  // "Prüfstand" in UTF-8.
  const std::string folder = (fs::temp_directory_path() / "provision-history-").string() +
                             std::to_string(GetCurrentProcessId()) +
                             "-Pr\xc3\xbc"
                             "fstand";
  const fs::path folderPath(std::u8string(folder.begin(), folder.end()));
  fs::remove_all(folderPath);
  fs::create_directory(folderPath);
  const std::string path = folder + "\\provision-history.csv";
  const fs::path filePath = folderPath / "provision-history.csv";

  {
    // Opened for editing, the way a spreadsheet holds a workbook: others may read, not write.
    HANDLE spreadsheet = CreateFileW(filePath.c_str(), GENERIC_READ | GENERIC_WRITE,
                                     FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(spreadsheet, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(appendToSharedFile(path, "head\r\n", "row\r\n", "\r\n"));
    CloseHandle(spreadsheet);
  }
  EXPECT_EQ(readBytes(filePath), "");

  // Writers that start at the same moment on a new file, several times over.
  constexpr int kWriters = 4, kRows = 5, kRounds = 50;
  for (int round = 0; round < kRounds; ++round) {
    fs::remove(filePath);
    std::latch start(kWriters);
    std::vector<std::thread> writers;
    for (int writer = 0; writer < kWriters; ++writer)
      writers.emplace_back([&, writer] {
        start.arrive_and_wait();
        for (int row = 0; row < kRows; ++row)
          EXPECT_TRUE(appendToSharedFile(
              path, "head\r\n",
              "writer " + std::to_string(writer) + " row " + std::to_string(row) + "\r\n", "\r\n"));
      });
    for (std::thread& writer : writers) writer.join();
    const std::string text = readBytes(filePath);
    EXPECT_TRUE(text.starts_with("head\r\nwriter ")) << text;
    ASSERT_EQ(countOf(text, "head"), 1) << "round " << round;
    EXPECT_EQ(countOf(text, "\r\n"), 1 + kWriters * kRows);
    for (int writer = 0; writer < kWriters; ++writer)
      EXPECT_EQ(countOf(text, "writer " + std::to_string(writer) + " row "), kRows);
  }

  // A row that a full disk left without its line end does not swallow the next one.
  writeBytes(filePath, "head\r\ncut");
  EXPECT_TRUE(appendToSharedFile(path, "head\r\n", "row\r\n", "\r\n"));
  EXPECT_EQ(readBytes(filePath), "head\r\ncut\r\nrow\r\n");

  EXPECT_FALSE(stationName().empty());
  fs::remove_all(folderPath);
}

}  // namespace
}  // namespace provision
