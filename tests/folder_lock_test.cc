// One run at a time in a folder: the lock file beside the executable.
#include "workspace/folder_lock.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "support/files.h"

namespace provision {
namespace {

namespace fs = std::filesystem;

class FolderLockTest : public testing::Test {
 protected:
  void SetUp() override { fs::create_directories(folder_); }
  void TearDown() override { fs::remove_all(folder_); }

  const fs::path folder_ = fs::temp_directory_path() / ("lock-" + std::to_string(::getpid()));
  const std::string path_ = (folder_ / "provision.lock").string();
};

// One holder at a time; the next learns who holds it, and a holder that was killed blocks no one.
TEST_F(FolderLockTest, OneHolderAtATimeAndAKilledOneBlocksNoOne) {
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t holder = ::fork();
  ASSERT_GE(holder, 0);
  if (holder == 0) {
    FolderLock lock;
    std::string ignored;
    const char acquired =
        lock.acquire(path_, "the killed one", ignored) == FolderLock::Result::Acquired ? 'y' : 'n';
    static_cast<void>(::write(ready[1], &acquired, 1));
    ::pause();
    ::_exit(0);
  }
  char acquired = 0;
  ASSERT_EQ(::read(ready[0], &acquired, 1), 1);
  ASSERT_EQ(acquired, 'y');
  std::string heldBy;
  FolderLock lock;
  EXPECT_EQ(lock.acquire(path_, "the next one", heldBy), FolderLock::Result::Held);
  EXPECT_EQ(heldBy, "the killed one");

  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);
  ::close(ready[0]);
  ::close(ready[1]);
  EXPECT_EQ(lock.acquire(path_, "the next one", heldBy), FolderLock::Result::Acquired);
  // The next holder's shorter text replaces the longer one.
  EXPECT_EQ(test::readText(path_), "the next one");
}

TEST_F(FolderLockTest, FolderThatCannotHoldTheFileGuardsNothing) {
  std::string heldBy;
  FolderLock lock;
  EXPECT_EQ(lock.acquire((folder_ / "missing" / "provision.lock").string(), "x", heldBy),
            FolderLock::Result::Unusable);
}

}  // namespace
}  // namespace provision
