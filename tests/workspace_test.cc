#include "workspace/workspace.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "app/start_up.h"
#include "ftp/ftp_source.h"
#include "settings/settings.h"
#include "support/lab.h"

namespace provision {
namespace {

namespace fs = std::filesystem;
using test::ProcessResult;

// With this variable in its environment the executable runs the start-up set-up of the workspace
// instead of its tests and prints the base folder and the server decision after a marker. The
// set-up works beside the executable, so the tests run copies of it in folders of their own.
constexpr const char* kStartUpVariable = "PROVISION_WORKSPACE_START_UP";
constexpr const char* kStartUpMarker = "start-up result:\n";

class StartUpRun : public testing::Environment {
 public:
  void SetUp() override {
    if (!std::getenv(kStartUpVariable)) return;
    FtpSource server;
    startWorkspace(server);
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

// Names below `folder`, with type and modification time when `details` is set.
std::vector<std::string> namesIn(const fs::path& folder, bool details = false) {
  std::vector<std::string> names;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    std::string name = fs::relative(entry.path(), folder).string();
    if (details) {
      name += " " + std::to_string(static_cast<int>(entry.symlink_status().type())) + " " +
              std::to_string(entry.last_write_time().time_since_epoch().count());
    }
    names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

class Workspace : public testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/workspace-XXXXXX";
    ASSERT_NE(::mkdtemp(name), nullptr);
    root_ = name;
  }
  void TearDown() override { fs::remove_all(root_); }

  fs::path root_;
};

TEST_F(Workspace, CreateFolderMakesOneMissingLevelSilently) {
  touch(root_ / "plain");
  testing::internal::CaptureStderr();
  createFolder((root_ / "one").string());
  createFolder((root_ / "one").string());
  createFolder((root_ / "missing" / "two").string());
  createFolder((root_ / "plain").string());
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(namesIn(root_), (std::vector<std::string>{"one", "plain"}));
  EXPECT_TRUE(fs::is_directory(root_ / "one"));
  EXPECT_TRUE(pathExists((root_ / "plain").string()));
  EXPECT_FALSE(pathExists((root_ / "missing").string()));
}

TEST_F(Workspace, ListFilesGivesBareNamesOfReadablePlainFiles) {
  for (const char* name : {"a.tdms", "b.txt", ".hidden"}) touch(root_ / name);
  fs::create_directory(root_ / "c");
  touch(root_ / "c" / "deeper.txt");
  fs::create_symlink(root_ / "gone", root_ / "dangling");
  testing::internal::CaptureStderr();
  std::vector<std::string> names = listFiles(root_.string());
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Failed to get file attributes for: " + (root_ / "dangling").string() + "\n");
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{".hidden", "a.tdms", "b.txt"}));

  testing::internal::CaptureStdout();
  EXPECT_TRUE(listFiles((root_ / "absent").string()).empty());
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("] : [ERROR]Failed to find files in directory. \n"), std::string::npos) << out;
}

TEST_F(Workspace, ClearFolderEmptiesExactlyTheFolderWhateverItsPathHolds) {
  const fs::path folder = root_ / "lib \"q\" & x; rm -rf ~ 'y'";
  const fs::path sibling = root_ / "lib \"q\" & x";  // a prefix of the folder's name
  fs::create_directories(folder / "sub" / "deeper");
  fs::create_directory(sibling);
  for (const char* name : {"Pkg.zip", ".hidden", "* wild ?", "sub/deeper/f"}) touch(folder / name);
  touch(sibling / "stays");
  fs::create_symlink(sibling, folder / "link-to-folder");
  fs::create_symlink(sibling / "stays", folder / "link-to-file");

  clearFolder(folder.string() + "/");  // callers may end the folder with a separator
  clearFolder((root_ / "absent").string());

  // Sorted: the sibling's name is a prefix of the cleared folder's.
  EXPECT_EQ(namesIn(root_), (std::vector<std::string>{"lib \"q\" & x", "lib \"q\" & x/stays",
                                                      "lib \"q\" & x; rm -rf ~ 'y'"}));
}

class StartUp : public Workspace {
 protected:
  void SetUp() override {
    Workspace::SetUp();
    ASSERT_TRUE(lab_.ok()) << lab_.startError();
    base_ = root_ / "base \"folder\" & x";
    fs::create_directory(base_);
    fs::copy_file("/proc/self/exe", base_ / "provision");
  }

  // Runs the copy once; `out` keeps what the set-up printed after the test framework's lines.
  ProcessResult startUp() {
    ProcessResult run = lab_.run(
        {"env", std::string(kStartUpVariable) + "=1", (base_ / "provision").string()}, "", 60);
    size_t marker = run.out.find(kStartUpMarker);
    run.out = marker == std::string::npos ? "no result in: " + run.out
                                          : run.out.substr(marker + std::strlen(kStartUpMarker));
    return run;
  }

  test::Lab lab_{test::uniqueLabName("workspace")};
  fs::path base_;
};

TEST_F(StartUp, CreatesTheTreeAndASecondStartChangesNothing) {
  ProcessResult first = startUp();
  EXPECT_EQ(first.out, base_.string() + "/\n1\n");
  EXPECT_EQ(first.err, "");
  EXPECT_EQ(namesIn(base_), (std::vector<std::string>{"data", "data/CalFile", "data/QM", "data/ZR",
                                                      "data/lib", "provision"}));
  touch(base_ / "data" / "lib" / "Bundle.zip", "kept");
  const std::vector<std::string> before = namesIn(base_, true);
  ProcessResult second = startUp();
  EXPECT_EQ(second.status, 0) << second.err;
  EXPECT_EQ(namesIn(base_, true), before);
}

TEST_F(StartUp, RemovesWhatInterruptedDownloadsLeftAndNothingElse) {
  ASSERT_EQ(startUp().status, 0);
  const fs::path data = base_ / "data";
  touch(data / "CalFile" / ".provision-0123456789abcdef.part", "a piece of gain.cal");
  fs::create_directories(data / "CalFile" / ".provision-fedcba9876543210.part");
  touch(data / "CalFile" / ".provision-fedcba9876543210.part" / "gain.cal", "half a set");
  fs::create_directories(data / "ZR" / "CN");
  touch(data / "ZR" / "CN" / ".provision-00000000000000ff.part", "a piece of a package");
  for (const char* kept : {"CalFile/gain.cal", "CalFile/.provision-notes", "lib/Bundle.part",
                           "ZR/CN/ZRConfig_LatestVersion.txt"}) {
    touch(data / kept, "kept");
  }
  ASSERT_EQ(startUp().status, 0);
  EXPECT_EQ(namesIn(data),
            (std::vector<std::string>{"CalFile", "CalFile/.provision-notes", "CalFile/gain.cal",
                                      "QM", "ZR", "ZR/CN", "ZR/CN/ZRConfig_LatestVersion.txt",
                                      "lib", "lib/Bundle.part"}));
}

TEST_F(StartUp, ServerDownIsReportedAndClearsServerOnline) {
  ASSERT_TRUE(lab_.ftpDown());
  ProcessResult run = startUp();
  EXPECT_EQ(run.out, base_.string() + "/\n0\n");
  EXPECT_EQ(run.err, "InternetConnect failed. Error: 7\nThe package server at " PROVISION_FTP_HOST
                     " does not answer (error 7): this run works from the copies in " +
                         (base_ / "data").string() + "\n");
  EXPECT_TRUE(fs::is_directory(base_ / "data" / "lib"));
}

TEST_F(StartUp, AFileNamedDataBlocksTheTreeSilently) {
  touch(base_ / "data", "not a folder");
  ProcessResult run = startUp();
  EXPECT_EQ(run.out, base_.string() + "/\n1\n");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(namesIn(base_), (std::vector<std::string>{"data", "provision"}));
}

}  // namespace
}  // namespace provision
