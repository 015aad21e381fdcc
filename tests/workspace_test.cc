#include "workspace/workspace.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "app/settings.h"

namespace provision {
namespace {

namespace fs = std::filesystem;

void touch(const fs::path& path, const std::string& content = "x") {
  std::ofstream(path, std::ios::binary) << content;
}

class Workspace : public testing::Test {
 protected:
  void SetUp() override {
    root_ =
        fs::temp_directory_path() / ("workspace-" + std::to_string(::getpid()) + "-" +
                                     testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(root_);
  }
  void TearDown() override { fs::remove_all(root_); }

  std::vector<std::string> sorted(std::vector<std::string> names) {
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path root_;
};

TEST_F(Workspace, CreateFolderMakesOneLevelSilently) {
  createFolder((root_ / "one").string());
  EXPECT_TRUE(fs::is_directory(root_ / "one"));

  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  createFolder((root_ / "missing" / "two").string());
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_FALSE(fs::exists(root_ / "missing"));
}

TEST_F(Workspace, CreateFolderLeavesWhatExists) {
  fs::create_directory(root_ / "kept");
  touch(root_ / "kept" / "inside", "content");
  createFolder((root_ / "kept").string());
  EXPECT_TRUE(fs::exists(root_ / "kept" / "inside"));

  touch(root_ / "plain", "file");
  createFolder((root_ / "plain").string());
  EXPECT_TRUE(fs::is_regular_file(root_ / "plain"));
  EXPECT_TRUE(pathExists((root_ / "plain").string()));
  EXPECT_FALSE(pathExists((root_ / "nothing").string()));
}

TEST_F(Workspace, ListFilesGivesBareNamesOfPlainFilesOnly) {
  touch(root_ / "a.tdms");
  touch(root_ / "b.txt");
  touch(root_ / ".hidden");
  fs::create_directory(root_ / "c");
  touch(root_ / "c" / "deeper.txt");
  testing::internal::CaptureStdout();
  std::vector<std::string> names = listFiles(root_.string());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(sorted(names), (std::vector<std::string>{".hidden", "a.tdms", "b.txt"}));
}

TEST_F(Workspace, ListFilesReportsAnEntryWhoseTypeCannotBeRead) {
  touch(root_ / "good.txt");
  fs::create_symlink(root_ / "gone", root_ / "dangling");
  testing::internal::CaptureStderr();
  std::vector<std::string> names = listFiles(root_.string());
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Failed to get file attributes for: " + (root_ / "dangling").string() + "\n");
  EXPECT_EQ(names, std::vector<std::string>{"good.txt"});
}

TEST_F(Workspace, ListFilesOnMissingFolderLogsAnError) {
  testing::internal::CaptureStdout();
  std::vector<std::string> names = listFiles((root_ / "absent").string());
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(names.empty());
  EXPECT_NE(out.find("] : [ERROR]Failed to find files in directory. \n"), std::string::npos) << out;
}

TEST_F(Workspace, ClearFolderEmptiesExactlyTheFolderWhateverItsPathHolds) {
  const fs::path folder = root_ / "lib \"q\" & x; rm -rf ~ 'y'";
  const fs::path sibling = root_ / "lib \"q\" & x";  // a prefix of the folder's name
  const fs::path outside = root_ / "outside";
  for (const fs::path& f : {folder, sibling, outside}) fs::create_directory(f);
  touch(folder / "Pkg.zip");
  touch(folder / ".hidden");
  touch(folder / "* wild ?");
  fs::create_directories(folder / "sub" / "deeper");
  touch(folder / "sub" / "deeper" / "f");
  touch(sibling / "stays");
  touch(outside / "target");
  fs::create_symlink(outside, folder / "link-to-outside");
  fs::create_symlink(outside / "target", folder / "link-to-file");

  clearFolder(folder.string() + "/");  // callers may end the folder with a separator

  EXPECT_TRUE(fs::is_directory(folder));
  EXPECT_TRUE(fs::is_empty(folder));
  EXPECT_TRUE(fs::exists(sibling / "stays"));
  EXPECT_TRUE(fs::exists(outside / "target"));
}

TEST_F(Workspace, ClearFolderOnMissingFolderDoesNothing) {
  touch(root_ / "stays");
  clearFolder((root_ / "absent").string());
  EXPECT_TRUE(fs::exists(root_ / "stays"));
}

TEST(ExeDirectory, BaseFolderIsTheExecutablesFolderWithASeparator) {
  settings.baseFolder.clear();
  EXPECT_EQ(exeDirectory(), 0);
  fs::path exe = fs::read_symlink("/proc/self/exe");
  EXPECT_EQ(settings.baseFolder, exe.parent_path().string() + "/");
}

}  // namespace
}  // namespace provision
