// Running command lines on the lab device and collecting their standard output.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

#include "device/device_account.h"
#include "device/ssh_link.h"
#include "support/files.h"
#include "support/lab.h"
#include "support/process.h"
#include "support/scenario.h"
#include "support/waits.h"

namespace provision {
namespace {

using test::Lab;
using test::NetnsScope;
using test::patterned;
using test::uniqueLabName;

// Stops the lab's device when it is not dismissed within `limit`: a channel that stalls then
// breaks, and the test fails instead of hanging.
class Watchdog {
 public:
  Watchdog(const Lab& lab, std::chrono::seconds limit)
      : thread_([this, &lab, limit] {
          std::unique_lock lock(mutex_);
          if (dismissed_.wait_for(lock, limit, [this] { return done_; })) return;
          test::runProcess({test::labTool(), "stop", lab.name()});
        }) {}
  ~Watchdog() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    dismissed_.notify_one();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable dismissed_;
  bool done_ = false;
  std::thread thread_;
};

class RemoteCommand : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(lab_.ok()) << lab_.startError();
    ASSERT_TRUE(scope_.ok());
    ASSERT_EQ(link_.open(kDeviceHost, kRootUser, kQmRootPassword), kSshOk);
  }

  void placeOnDevice(const std::string& devicePath, const std::string& content) {
    std::ofstream(lab_.devicePath(devicePath), std::ios::binary) << content;
  }

  Lab lab_{uniqueLabName("command")};
  NetnsScope scope_{lab_};
  SshLink link_;
};

TEST_F(RemoteCommand, SilentCommandsLeaveTheOutputUnchanged) {
  std::string output = "before";
  EXPECT_EQ(link_.runCommand("true", output), kSshOk);
  EXPECT_EQ(output, "before");
  // Standard error is not collected.
  EXPECT_EQ(link_.runCommand("echo failure >&2; exit 3", output), kSshOk);
  EXPECT_EQ(output, "before");
}

TEST_F(RemoteCommand, ExitStatusIsTheOneTheDeviceReports) {
  const std::pair<const char*, int> cases[] = {
      {"true", 0},
      {"echo out; exit 3", 3},
      {"no-such-command-here", 127},
      {"head -c 100000 /dev/zero; exit 255", 255},  // after more output than one read takes
      {"kill -KILL $$", kNoExitStatus},             // a signal ended it
      {"read answer || exit 4", 4},  // nothing is typed in: the question reads the input's end
  };
  Watchdog watchdog(lab_, std::chrono::seconds(120));
  for (const auto& [command, expected] : cases) {
    std::string output;
    int exitStatus = 1234;
    EXPECT_EQ(link_.runCommand(command, output, exitStatus), kSshOk) << command;
    EXPECT_EQ(exitStatus, expected) << command;
  }
  // A link that is not open runs nothing and reports no status.
  SshLink closed;
  std::string output = "kept";
  int exitStatus = 0;
  EXPECT_EQ(closed.runCommand("true", output, exitStatus), kSshChannelFailed);
  EXPECT_EQ(exitStatus, kNoExitStatus);
  EXPECT_EQ(output, "kept");
}

TEST_F(RemoteCommand, OutputArrivesExactlyInOrderAndIsAppended) {
  const std::string small = patterned(3000);
  placeOnDevice("opt/small.bin", small);
  std::string output = "head:";
  ASSERT_EQ(link_.runCommand("cat /opt/small.bin", output), kSshOk);
  EXPECT_EQ(output, "head:" + small);

  // More than the channel's 2 MiB window.
  const std::string large = patterned(3 * 1024 * 1024 + 17);
  placeOnDevice("opt/large.bin", large);
  output.clear();
  ASSERT_EQ(link_.runCommand("cat /opt/large.bin", output), kSshOk);
  EXPECT_TRUE(output == large) << "got " << output.size() << " bytes";

  // Two calls on one string: the second output follows the first, line ends kept.
  output.clear();
  ASSERT_EQ(link_.runCommand("echo first", output), kSshOk);
  ASSERT_EQ(link_.runCommand("cd /opt; pwd", output), kSshOk);
  EXPECT_EQ(output, "first\n/opt\n");
}

TEST_F(RemoteCommand, FloodOnStandardErrorDoesNotStallTheCommand) {
  std::string output;
  {
    Watchdog watchdog(lab_, std::chrono::seconds(60));
    EXPECT_EQ(link_.runCommand("head -c 5242880 /dev/zero >&2; echo done", output), kSshOk);
  }
  EXPECT_EQ(output, "done\n");

  // The link stays usable afterwards.
  output.clear();
  EXPECT_EQ(link_.runCommand("echo again", output), kSshOk);
  EXPECT_EQ(output, "again\n");
}

TEST_F(RemoteCommand, LiveDeviceMayStaySilentLongerThanTheSilenceLimit) {
  // The keepalive requests keep a busy device answering.
  SshLink link(test::shortLinkWaits());
  ASSERT_EQ(link.open(kDeviceHost, kRootUser, kQmRootPassword), kSshOk);
  std::string output;
  testing::internal::CaptureStdout();
  EXPECT_EQ(link.runCommand("sleep 6; echo done", output), kSshOk);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(output, "done\n");
}

TEST_F(RemoteCommand, DeviceThatStopsAnsweringFailsTheCommandAndEveryLaterOneAtOnce) {
  link_.close();  // it would wait for the hung device when it goes
  SshLink link(test::shortLinkWaits());
  ASSERT_EQ(link.open(kDeviceHost, kRootUser, kQmRootPassword), kSshOk);
  std::thread hang([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    lab_.hang("device");
  });
  std::string output = "kept";
  testing::internal::CaptureStdout();
  test::Stopwatch running;
  EXPECT_EQ(link.runCommand("sleep 4; echo late", output), kSshStalled);
  const double waited = running.seconds();
  hang.join();
  EXPECT_EQ(test::maskTimestamps(testing::internal::GetCapturedStdout()),
            "[T] : [ERROR]The device stopped answering during the command \"sleep 4; echo late\" "
            "(no reply for 3 s)\n");
  EXPECT_GE(waited, 3.0);
  EXPECT_LT(waited, test::givenUpBefore(LinkWaits{}.silence));
  EXPECT_EQ(output, "kept");

  // No second wait, so no second error line.
  testing::internal::CaptureStdout();
  EXPECT_EQ(link.runCommand("echo again", output), kSshStalled);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(output, "kept");
}

}  // namespace
}  // namespace provision
