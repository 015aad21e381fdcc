// The Win32 file functions behind the workspace, with Windows paths and non-ASCII names.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>

#include "settings/settings.h"
#include "workspace/filesystem.h"
#include "workspace/workspace.h"

namespace provision {
namespace {

namespace fs = std::filesystem;

// "Kalibrierung-ü" and "校准" in UTF-8.
const std::string kGermanName = "Kalibrierung-\xc3\xbc.txt";
const std::string kChineseName = "\xe6\xa0\xa1\xe5\x87\x86";

void touch(const std::string& utf8Path) { std::ofstream(toFsPath(utf8Path)) << "x"; }

class Win32Files : public testing::Test {
 protected:
  void SetUp() override {
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    root_ = narrow(fs::temp_directory_path() /
                   ("provision-" + std::to_string(GetCurrentProcessId()) + "-" + info->name()));
    fs::remove_all(toFsPath(root_));
    ASSERT_TRUE(makeDirectory(root_));
  }
  void TearDown() override { fs::remove_all(toFsPath(root_)); }

  static std::string narrow(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
  }

  std::vector<FolderEntry> sortedEntries(const std::string& folder) {
    std::vector<FolderEntry> entries;
    EXPECT_TRUE(listFolder(folder, entries));
    std::sort(entries.begin(), entries.end(),
              [](const FolderEntry& a, const FolderEntry& b) { return a.name < b.name; });
    return entries;
  }

  std::string root_;
};

TEST(Win32ExecutablePath, IsTheRunningExeWithBackslashes) {
  const std::string path = executablePath();
  ASSERT_GE(path.size(), 4u);
  EXPECT_EQ(path.substr(path.size() - 4), ".exe");
  EXPECT_EQ(path.find('/'), std::string::npos) << path;
  EXPECT_EQ(entryType(path), EntryType::File);

  exeDirectory();
  EXPECT_EQ(settings.baseFolder, path.substr(0, path.rfind('\\') + 1));
}

TEST_F(Win32Files, MakeDirectoryCreatesOneLevelOnly) {
  EXPECT_TRUE(makeDirectory(root_ + "\\data"));
  EXPECT_EQ(entryType(root_ + "\\data"), EntryType::Directory);
  EXPECT_FALSE(makeDirectory(root_ + "\\data")) << "exists already";
  EXPECT_FALSE(makeDirectory(root_ + "\\missing\\lib"));
  EXPECT_EQ(entryType(root_ + "\\missing"), EntryType::None);
  // The workspace names its folders with forward slashes; Windows takes both.
  EXPECT_TRUE(makeDirectory(root_ + "/data/CalFile"));
  EXPECT_EQ(entryType(root_ + "\\data\\CalFile"), EntryType::Directory);
}

TEST_F(Win32Files, ListingGivesFilesAndFoldersByType) {
  touch(root_ + "\\a.tdms");
  touch(root_ + "\\b.txt");
  touch(root_ + "\\.hidden");
  ASSERT_TRUE(makeDirectory(root_ + "\\c"));
  touch(root_ + "\\c\\inner.txt");

  const std::vector<FolderEntry> entries = sortedEntries(root_);
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[0].name, ".hidden");
  EXPECT_EQ(entries[1].name, "a.tdms");
  EXPECT_EQ(entries[1].type, EntryType::File);
  EXPECT_EQ(entries[2].name, "b.txt");
  EXPECT_EQ(entries[3].name, "c");
  EXPECT_EQ(entries[3].type, EntryType::Directory);

  std::vector<std::string> files = listFiles(root_ + "\\");  // a trailing backslash is taken too
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{".hidden", "a.tdms", "b.txt"}));
}

TEST_F(Win32Files, NonAsciiNamesKeepTheirUtf8) {
  const std::string folder = root_ + "\\" + kChineseName;
  ASSERT_TRUE(makeDirectory(folder));
  ASSERT_TRUE(fs::is_directory(toFsPath(folder)));
  touch(folder + "\\" + kGermanName);

  const std::vector<FolderEntry> entries = sortedEntries(folder);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, kGermanName);
  EXPECT_EQ(entries[0].type, EntryType::File);
  EXPECT_EQ(entryType(folder + "\\" + kGermanName), EntryType::File);

  createFolder(folder + "\\" + kChineseName);
  EXPECT_TRUE(fs::is_directory(toFsPath(folder + "\\" + kChineseName)));
}

TEST_F(Win32Files, ModifiedTimeInWholeSecondsByUtf8Name) {
  const std::string file = root_ + "\\" + kGermanName;
  touch(file);
  // 2026-12-01 00:00:00 UTC, as the package server's MDTM tells it.
  ASSERT_TRUE(setModifiedTime(file, 1796083200));
  EXPECT_EQ(modifiedTime(file), 1796083200);
  // The same instant as the standard library reads it through its own calls.
  EXPECT_EQ(std::chrono::file_clock::to_sys(fs::last_write_time(toFsPath(file))),
            std::chrono::sys_seconds(std::chrono::seconds(1796083200)));
  EXPECT_FALSE(setModifiedTime(root_ + "\\missing.zip", 1796083200));
  EXPECT_FALSE(modifiedTime(root_ + "\\missing.zip"));
}

TEST_F(Win32Files, MissingFolderCannotBeListed) {
  std::vector<FolderEntry> entries{{"stale", EntryType::File}};
  EXPECT_FALSE(listFolder(root_ + "\\missing", entries));
  EXPECT_TRUE(entries.empty());

  testing::internal::CaptureStdout();
  EXPECT_TRUE(listFiles(root_ + "\\missing").empty());
  EXPECT_NE(testing::internal::GetCapturedStdout().find("Failed to find files in directory. "),
            std::string::npos);
}

TEST_F(Win32Files, ClearFolderEmptiesAWindowsFolderPath) {
  const std::string lib = root_ + "\\data lib & more";  // blank and "&" need no quoting
  ASSERT_TRUE(makeDirectory(lib));
  touch(lib + "\\DriverAndLib_LatestVersion.txt");
  ASSERT_TRUE(makeDirectory(lib + "\\unpacked"));
  touch(lib + "\\unpacked\\" + kGermanName);
  touch(root_ + "\\beside.txt");

  clearFolder(lib + "\\");
  EXPECT_EQ(entryType(lib), EntryType::Directory);
  EXPECT_TRUE(sortedEntries(lib).empty());
  EXPECT_EQ(entryType(root_ + "\\beside.txt"), EntryType::File);
}

}  // namespace
}  // namespace provision
