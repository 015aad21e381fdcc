// Uploading files to the lab device: the exact progress text on standard output, the device's
// copy, and the code of each failure.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "device/device_account.h"
#include "device/ssh_link.h"
#include "device/staged_upload.h"
#include "support/files.h"
#include "support/lab.h"
#include "support/scenario.h"
#include "support/waits.h"
#include "workspace/partial_name.h"

namespace provision {
namespace {

namespace fs = std::filesystem;
using test::expectedProgress;
using test::Lab;
using test::NetnsScope;
using test::patterned;
using test::uniqueLabName;

constexpr std::int64_t kChunk = 10240;

TEST(UploadProgressText, WorkedOutTextMatchesKnownValues) {
  EXPECT_EQ(expectedProgress(30000), "\rsent: 34.13%\rsent: 100.00%\n");
  // A little over 16 MiB: percentages after chunks 0, 20, ... 1620; chunk 1640 completes.
  std::string large = expectedProgress(1640 * kChunk + 5);
  EXPECT_EQ(large.rfind("\rsent: 0.06%\rsent: 1.28%\rsent: 2.50%", 0), 0u);
  EXPECT_TRUE(large.ends_with("\rsent: 97.62%\rsent: 98.84%\rsent: 100.00%\n")) << large;
}

// The single progress texts of a file of `size` bytes, in order; the last one is the 100.00% line.
std::vector<std::string> progressTexts(std::int64_t size) {
  std::vector<std::string> texts;
  std::string all = expectedProgress(size);
  for (size_t start = 0; start < all.size();) {
    size_t next = all.find('\r', start + 1);
    if (next == std::string::npos) next = all.size();
    texts.push_back(all.substr(start, next - start));
    start = next;
  }
  return texts;
}

extern "C" char** environ;

// The benchmark's delay relay, started from the calling thread (so in its network namespace):
// forwards `listen` to the device's SSH port, holding each piece for the one-way delay.
class DelayRelay {
 public:
  DelayRelay(const std::string& listen, int oneWayMicroseconds) {
#ifdef PROVISION_DELAY_RELAY
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    std::string target = std::string(kDeviceHost) + ":22";
    std::string delay = std::to_string(oneWayMicroseconds);
    std::vector<char*> argv = {const_cast<char*>(PROVISION_DELAY_RELAY),
                               const_cast<char*>(listen.c_str()), const_cast<char*>(target.c_str()),
                               delay.data(), nullptr};
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    // It prints "listening" once connections are accepted.
    char line[16] = {};
    ready_ = pid_ > 0 && ::read(pipeFds[0], line, sizeof line - 1) > 0 &&
             std::string(line) == "listening\n";
    ::close(pipeFds[0]);
#endif
  }
  ~DelayRelay() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
  DelayRelay(const DelayRelay&) = delete;
  DelayRelay& operator=(const DelayRelay&) = delete;

  bool ready() const { return ready_; }

 private:
  pid_t pid_ = -1;
  bool ready_ = false;
};

// What the upload helper adds after the console text when the stream's format was put back.
constexpr const char* kFormatUntouched = "|3.33333e-08";

class Upload : public testing::Test {
 protected:
  // `ssh`: the device's SSH server, as the lab starts it.
  explicit Upload(const char* ssh = "openssh")
      : lab_(uniqueLabName("upload"), "qm", ssh), scope_(lab_) {}

  void SetUp() override {
    ASSERT_TRUE(lab_.ok()) << lab_.startError();
    ASSERT_TRUE(scope_.ok());
    ASSERT_EQ(link_.open(kDeviceHost, kRootUser, kQmRootPassword), kSshOk);
  }

  std::string localFile(const std::string& name, const std::string& content) {
    std::string path = lab_.dir() + "/" + name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }

  // Uploads and returns the code; `console` receives what went to standard output, followed
  // by a number printed afterwards in the stream's format of that moment.
  int upload(const std::string& local, const std::string& remote, bool progress,
             std::string& console) {
    testing::internal::CaptureStdout();
    int status = link_.uploadFile(local, remote, progress);
    std::cout << "|" << 1e-7 / 3;
    console = testing::internal::GetCapturedStdout();
    return status;
  }

  // Uploads `size` patterned bytes to /opt/`name` with progress on; checks the console text and
  // the device's copy.
  void expectUploaded(const std::string& name, std::int64_t size, const std::string& progress) {
    SCOPED_TRACE(name);
    const std::string content = patterned(static_cast<size_t>(size));
    std::string console;
    ASSERT_EQ(upload(localFile(name, content), "/opt/" + name, true, console), kSshOk);
    EXPECT_EQ(console, progress + kFormatUntouched);
    const std::string copy = test::readText(lab_.devicePath("opt/" + name));
    EXPECT_EQ(copy.size(), content.size());
    EXPECT_TRUE(copy == content);
  }

  Lab lab_;
  NetnsScope scope_;
  SshLink link_;
};

// A device whose SSH server admits less than one write request at a time (Dropbear's 24 KiB).
class UploadThroughASmallWindow : public Upload {
 protected:
  UploadThroughASmallWindow() : Upload("dropbear") {}
};

TEST_F(UploadThroughASmallWindow, ProgressEndsAtOneHundredPercent) {
  for (const std::int64_t size :
       {std::int64_t{30000}, std::int64_t{300000}, std::int64_t{450000}, 40 * kChunk})
    expectUploaded("small" + std::to_string(size) + ".bin", size, expectedProgress(size));
}

TEST_F(Upload, ProgressTextAndDeviceCopyForEachSize) {
  // 1640 chunks are a little over 16 MiB; five bytes more need one more, short chunk.
  const std::int64_t large = 1640 * kChunk + 5;
  ASSERT_GT(large, 16 * 1024 * 1024);
  const std::pair<std::int64_t, std::string> cases[] = {
      {0, ""},
      {10240, "\rsent: 100.00%\n"},
      {20480, "\rsent: 50.00%\rsent: 100.00%\n"},
      {30000, "\rsent: 34.13%\rsent: 100.00%\n"},
      {204801, "\rsent: 5.00%\rsent: 100.00%\n"},
      // Sixteen write requests, as many as go to libssh together, and a one-byte request after.
      {480001, expectedProgress(480001)},
      {large, expectedProgress(large)},
  };
  for (const auto& [size, progress] : cases)
    expectUploaded("file" + std::to_string(size) + ".bin", size, progress);
}

TEST_F(Upload, WithoutProgressNothingIsPrintedAndLongerTargetsAreCut) {
  const std::string content = patterned(204801);
  std::string target = lab_.devicePath("root/target.bin");
  { std::ofstream(target, std::ios::binary) << patterned(500000) << "tail"; }

  std::string console;
  ASSERT_EQ(upload(localFile("plain.bin", content), "/root/target.bin", false, console), kSshOk);
  EXPECT_EQ(console, kFormatUntouched);
  EXPECT_EQ(fs::file_size(target), content.size());
  EXPECT_TRUE(test::readText(target) == content);
}

TEST_F(Upload, FailuresNameTheirStepAndLeaveTheLinkUsable) {
  std::string local = localFile("source.bin", patterned(30000));
  std::string console;

  EXPECT_EQ(upload(lab_.dir() + "/missing.bin", "/opt/missing.bin", true, console),
            kSshLocalOpenFailed);
  EXPECT_EQ(console, kFormatUntouched);
  EXPECT_EQ(upload(lab_.dir(), "/opt/folder.bin", true, console), kSshLocalOpenFailed);
  EXPECT_FALSE(fs::exists(lab_.devicePath("opt/missing.bin")));
  EXPECT_FALSE(fs::exists(lab_.devicePath("opt/folder.bin")));

  EXPECT_EQ(upload(local, "/opt/no/such/folder.bin", true, console), kSshRemoteOpenFailed);
  EXPECT_EQ(console, kFormatUntouched);
  // The local file was let go: the same file uploads on the same link right after.
  EXPECT_EQ(upload(local, "/opt/after.bin", true, console), kSshOk);
  EXPECT_EQ(console, std::string("\rsent: 34.13%\rsent: 100.00%\n") + kFormatUntouched);
  EXPECT_EQ(test::readText(lab_.devicePath("opt/after.bin")).size(), 30000u);

  SshLink failed;
  EXPECT_EQ(failed.open(kDeviceHost, kRootUser, kZrRootPassword), kSshAuthFailed);
  testing::internal::CaptureStdout();
  EXPECT_EQ(failed.uploadFile(local, "/opt/failed.bin", true), kSshRemoteOpenFailed);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_FALSE(fs::exists(lab_.devicePath("opt/failed.bin")));
}

TEST_F(Upload, FullDeviceFileSystemFailsWithMinus14) {
  auto mounted = lab_.device("mkdir -p /opt/small && mount -t tmpfs -o size=64k tmpfs /opt/small");
  ASSERT_EQ(mounted.status, 0) << mounted.err;

  std::string local = localFile("big.bin", patterned(300000));
  std::string console;
  EXPECT_EQ(upload(local, "/opt/small/big.bin", true, console), kSshWriteFailed);
  // The first percentage was shown; the line was neither completed nor ended.
  EXPECT_EQ(console, std::string("\rsent: 3.41%") + kFormatUntouched);
  auto size = lab_.device("stat -c %s /opt/small/big.bin");
  EXPECT_EQ(size.status, 0) << size.err;
  EXPECT_LE(std::stoll("0" + size.out), 64 * 1024);

  // Both files were let go: the same source goes elsewhere on the same link.
  EXPECT_EQ(upload(local, "/opt/big.bin", false, console), kSshOk);
  EXPECT_TRUE(test::readText(lab_.devicePath("opt/big.bin")) == patterned(300000));
}

TEST_F(Upload, StagedFileTakesItsNameOnlyWhenPlacedAndGoesWhenItIsNot) {
  const std::string target = lab_.devicePath("opt/set.cal");
  { std::ofstream(target, std::ios::binary) << "the earlier, longer calibration"; }
  const std::string content = patterned(30000);
  {
    StagedUpload staged(link_, "/opt/set.cal");
    testing::internal::CaptureStdout();
    ASSERT_EQ(staged.upload(localFile("set.cal", content), true), kSshOk);
    // The messages name the target, not the temporary name.
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\rsent: 34.13%\rsent: 100.00%\n");
    EXPECT_EQ(test::readText(target), "the earlier, longer calibration");
    const std::vector<std::string> arrived = test::folderNames(lab_.devicePath("opt"));
    EXPECT_EQ(std::count_if(arrived.begin(), arrived.end(), isPartialDownloadName), 1);

    ASSERT_EQ(staged.place(), kSshOk);
    EXPECT_TRUE(test::readText(target) == content);
  }
  EXPECT_EQ(test::folderNames(lab_.devicePath("opt")), std::vector<std::string>{"set.cal"});

  // Arrived but never placed, or cut short: gone with the object, and the target untouched.
  {
    StagedUpload unplaced(link_, "/opt/set.cal");
    ASSERT_EQ(unplaced.upload(localFile("other.cal", "other"), false), kSshOk);
  }
  auto mounted = lab_.device("mkdir -p /opt/small && mount -t tmpfs -o size=64k tmpfs /opt/small");
  ASSERT_EQ(mounted.status, 0) << mounted.err;
  {
    StagedUpload cut(link_, "/opt/small/big.bin");
    EXPECT_EQ(cut.upload(localFile("big.bin", patterned(300000)), false), kSshWriteFailed);
    EXPECT_EQ(cut.place(), kSshRemoteOpenFailed);
  }
  EXPECT_EQ(test::folderNames(lab_.devicePath("opt/small")), std::vector<std::string>{});
  EXPECT_EQ(test::folderNames(lab_.devicePath("opt")),
            (std::vector<std::string>{"set.cal", "small"}));
  EXPECT_TRUE(test::readText(target) == content);

  // What runs that were cut off left goes, and only that.
  test::writeText(lab_.devicePath("opt/.provision-0123456789abcdef.part"), "left");
  test::writeText(lab_.devicePath("opt/.provision-notes"), "kept");
  removeLeftovers(link_, "/opt/");
  EXPECT_EQ(test::folderNames(lab_.devicePath("opt")),
            (std::vector<std::string>{".provision-notes", "set.cal", "small"}));
}

TEST_F(Upload, SizesThatAreWholeChunksCompleteOnTheLastChunk) {
  // 40 chunks; and 375 chunks, which are also 128 whole write requests of 30000 bytes and span
  // several windows of requests in flight.
  const std::pair<std::int64_t, std::string> cases[] = {
      {40 * kChunk, "\rsent: 2.50%\rsent: 52.50%\rsent: 100.00%\n"},
      {375 * kChunk, expectedProgress(375 * kChunk)},
  };
  ASSERT_EQ(375 * kChunk % 30000, 0);
  for (const auto& [size, progress] : cases)
    expectUploaded("whole" + std::to_string(size) + ".bin", size, progress);
}

TEST_F(Upload, FileSystemFillingUpWithRequestsInFlight) {
  // Room for about half a megabyte: the device refuses a write while many more are under way.
  auto mounted = lab_.device("mkdir -p /opt/half && mount -t tmpfs -o size=512k tmpfs /opt/half");
  ASSERT_EQ(mounted.status, 0) << mounted.err;
  const std::int64_t size = 300 * kChunk;
  const std::string content = patterned(static_cast<size_t>(size));
  std::string local = localFile("full.bin", content);

  std::string console;
  EXPECT_EQ(upload(local, "/opt/half/full.bin", true, console), kSshWriteFailed);
  ASSERT_TRUE(console.ends_with(kFormatUntouched));
  console.resize(console.size() - std::string(kFormatUntouched).size());

  // Whole progress texts, in order, of acknowledged chunks only: no line end, nothing after.
  std::vector<std::string> texts = progressTexts(size);
  std::string shown;
  size_t count = 0;
  while (count + 1 < texts.size() && shown.size() < console.size()) shown += texts[count++];
  EXPECT_EQ(console, shown);
  EXPECT_GE(count, 2u) << "several requests were acknowledged before the failure";
  std::int64_t acknowledged = (20 * static_cast<std::int64_t>(count - 1) + 1) * kChunk;

  // The device's copy is the start of the file, and holds every acknowledged byte.
  auto device = lab_.device("cat /opt/half/full.bin");
  ASSERT_EQ(device.status, 0) << device.err;
  const std::string& copy = device.out;
  EXPECT_GE(static_cast<std::int64_t>(copy.size()), acknowledged);
  EXPECT_LE(copy.size(), 512u * 1024);
  EXPECT_TRUE(content.compare(0, copy.size(), copy) == 0);

  // The requests still under way were let go: the link uploads right after.
  EXPECT_EQ(upload(localFile("next.bin", patterned(30000)), "/opt/next.bin", true, console),
            kSshOk);
  EXPECT_EQ(console, std::string("\rsent: 34.13%\rsent: 100.00%\n") + kFormatUntouched);
  EXPECT_TRUE(test::readText(lab_.devicePath("opt/next.bin")) == patterned(30000));
}

TEST_F(Upload, ThroughFiveMillisecondsRoundTripTheConsoleTextIsTheSame) {
  DelayRelay relay("127.0.0.2:22", 2500);
  ASSERT_TRUE(relay.ready());
  SshLink delayed;
  ASSERT_EQ(delayed.open("127.0.0.2", kRootUser, kQmRootPassword), kSshOk);

  const std::int64_t size = 1640 * kChunk + 5;
  const std::string content = patterned(static_cast<size_t>(size));
  std::string local = localFile("delayed.bin", content);
  testing::internal::CaptureStdout();
  int status = delayed.uploadFile(local, "/opt/delayed.bin", true);
  std::string console = testing::internal::GetCapturedStdout();
  EXPECT_EQ(status, kSshOk);
  EXPECT_EQ(console, expectedProgress(size));
  EXPECT_TRUE(test::readText(lab_.devicePath("opt/delayed.bin")) == content);
  delayed.close();
}

TEST_F(Upload, DeviceThatStopsAnsweringMidUploadFailsWithMinus15) {
  link_.close();  // it would wait for the hung device when it goes
  SshLink link(test::shortLinkWaits());
  ASSERT_EQ(link.open(kDeviceHost, kRootUser, kQmRootPassword), kSshOk);
  const std::int64_t size = 64 * 1024 * 1024;
  const std::string local = localFile("big.bin", patterned(static_cast<size_t>(size)));
  ASSERT_TRUE(lab_.hangDeviceAfter(1024 * 1024, "/opt/big.bin"));

  testing::internal::CaptureStdout();
  test::Stopwatch uploading;
  EXPECT_EQ(link.uploadFile(local, "/opt/big.bin", true), kSshStalled);
  const double waited = uploading.seconds();
  const std::string console = test::maskTimestamps(testing::internal::GetCapturedStdout());
  EXPECT_LT(waited, test::givenUpBefore(LinkWaits{}.transfer));
  // The progress so far, its line ended, then the one error line.
  const std::string error =
      "\n[T] : [ERROR]The device stopped answering during the upload of big.bin (no reply for "
      "2 s)\n";
  ASSERT_TRUE(console.ends_with(error)) << console;
  const std::string progress = console.substr(0, console.size() - error.size());
  EXPECT_TRUE(expectedProgress(size).starts_with(progress)) << progress;
  EXPECT_NE(progress, "");
  EXPECT_LT(test::fileSize(lab_.devicePath("opt/big.bin")), size);

  // What follows fails at once: no second wait, so no second error line.
  testing::internal::CaptureStdout();
  EXPECT_EQ(link.uploadFile(local, "/opt/again.bin", false), kSshStalled);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

}  // namespace
}  // namespace provision
