#include "workspace/workspace.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "app/settings.h"
#include "support/lab.h"

namespace provision {
namespace {

namespace fs = std::filesystem;
using test::Lab;
using test::ProcessResult;

// With this variable in its environment the executable runs the start-up set-up of the workspace
// instead of its tests, and prints the base folder and the server decision on two lines. The
// set-up works beside the executable, so the tests run copies of it in folders of their own.
constexpr const char* kStartUpVariable = "PROVISION_WORKSPACE_START_UP";
constexpr const char* kStartUpMarker = "start-up result:\n";

class StartUpRun : public testing::Environment {
 public:
  void SetUp() override {
    if (!std::getenv(kStartUpVariable)) return;
    prepareWorkspace();
    std::cout << kStartUpMarker << settings.baseFolder << "\n"
              << settings.serverOnline << std::endl;
    std::exit(0);
  }
};

[[maybe_unused]] testing::Environment* const kStartUpRun =
    testing::AddGlobalTestEnvironment(new StartUpRun);

void touch(const fs::path& path, const std::string& content = "x") {
  std::ofstream(path, std::ios::binary) << content;
}

std::vector<std::string> namesOf(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
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

}  // namespace
}  // namespace provision

namespace provision {
namespace {

// Every entry below `folder` with its type and modification time.
std::vector<std::string> snapshot(const fs::path& folder) {
  std::vector<std::string> entries;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    entries.push_back(fs::relative(entry.path(), folder).string() + " " +
                      std::to_string(static_cast<int>(entry.status().type())) + " " +
                      std::to_string(entry.last_write_time().time_since_epoch().count()));
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

class StartUp : public Workspace {
 protected:
  void SetUp() override {
    Workspace::SetUp();
    ASSERT_TRUE(lab_.ok()) << lab_.startError();
    base_ = root_ / "base \"folder\" & x";
    fs::create_directory(base_);
    fs::copy_file("/proc/self/exe", base_ / "provision", fs::copy_options::none);
  }

  // Runs the copy once; `out` keeps only what the set-up printed after the test framework's lines.
  ProcessResult startUp() {
    ProcessResult run = lab_.run(
        {"env", std::string(kStartUpVariable) + "=1", (base_ / "provision").string()}, "", 60);
    size_t marker = run.out.find(kStartUpMarker);
    run.out = marker == std::string::npos ? "no result in: " + run.out
                                          : run.out.substr(marker + std::strlen(kStartUpMarker));
    return run;
  }

  Lab lab_{test::uniqueLabName("workspace")};
  fs::path base_;
};

TEST_F(StartUp, CreatesTheTreeAndASecondStartChangesNothing) {
  ProcessResult first = startUp();
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(first.out, base_.string() + "/\n1\n");
  EXPECT_EQ(first.err, "");
  for (const char* folder : {"data", "data/CalFile", "data/QM", "data/ZR", "data/lib"}) {
    EXPECT_TRUE(fs::is_directory(base_ / folder)) << folder;
  }
  EXPECT_EQ(namesOf(base_), (std::vector<std::string>{"data", "provision"}));
  EXPECT_EQ(namesOf(base_ / "data"), (std::vector<std::string>{"CalFile", "QM", "ZR", "lib"}));

  touch(base_ / "data" / "lib" / "Bundle.zip", "kept");
  const std::vector<std::string> before = snapshot(base_);
  ProcessResult second = startUp();
  ASSERT_EQ(second.status, 0) << second.err;
  EXPECT_EQ(snapshot(base_), before);
}

TEST_F(StartUp, ServerDownIsReportedAndClearsServerOnline) {
  ASSERT_TRUE(lab_.ftpDown());
  ProcessResult run = startUp();
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, base_.string() + "/\n0\n");
  EXPECT_EQ(run.err, "InternetConnect failed. Error: 7\n");
  EXPECT_TRUE(fs::is_directory(base_ / "data" / "lib"));
}

TEST_F(StartUp, AFileNamedDataBlocksTheTreeSilently) {
  touch(base_ / "data", "not a folder");
  ProcessResult run = startUp();
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, base_.string() + "/\n1\n");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(namesOf(base_), (std::vector<std::string>{"data", "provision"}));
  EXPECT_TRUE(fs::is_regular_file(base_ / "data"));
}

}  // namespace
}  // namespace provision
