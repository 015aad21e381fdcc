// Uploading files to the lab device: the exact progress text on standard output, the device's
// copy, and the code of each failure.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "device/device_account.h"
#include "device/ssh_link.h"
#include "support/lab.h"

namespace provision {
namespace {

namespace fs = std::filesystem;
using test::Lab;
using test::NetnsScope;
using test::uniqueLabName;

constexpr std::int64_t kChunk = 10240;

std::string patterned(size_t size) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 131 + i / 251) & 0xff);
  return data;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The progress text of a file of `size` bytes, worked out with printf: a percentage after chunks
// 0, 20, 40, ... and the closing 100.00% line on the chunk that reaches the size.
std::string expectedProgress(std::int64_t size) {
  std::string text;
  for (std::int64_t chunk = 0; chunk * kChunk < size; ++chunk) {
    std::int64_t counted = (chunk + 1) * kChunk;
    if (counted >= size) return text + "\rsent: 100.00%\n";
    if (chunk % 20 != 0) continue;
    char percent[32];
    std::snprintf(
        percent, sizeof percent, "\rsent: %.2f%%",
        static_cast<double>(static_cast<float>(counted) * 100.0f / static_cast<float>(size)));
    text += percent;
  }
  return text;
}

TEST(UploadProgressText, WorkedOutTextMatchesKnownValues) {
  EXPECT_EQ(expectedProgress(30000), "\rsent: 34.13%\rsent: 100.00%\n");
  // A little over 16 MiB: percentages after chunks 0, 20, ... 1620; chunk 1640 completes.
  std::string large = expectedProgress(1640 * kChunk + 5);
  EXPECT_EQ(large.rfind("\rsent: 0.06%\rsent: 1.28%\rsent: 2.50%", 0), 0u);
  EXPECT_TRUE(large.ends_with("\rsent: 97.62%\rsent: 98.84%\rsent: 100.00%\n")) << large;
}

class Upload : public testing::Test {
 protected:
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

  Lab lab_{uniqueLabName("upload")};
  NetnsScope scope_{lab_};
  SshLink link_;
};

constexpr const char* kFormatUntouched = "|3.33333e-08";

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
      {large, expectedProgress(large)},
  };
  for (const auto& [size, progress] : cases) {
    SCOPED_TRACE("size " + std::to_string(size));
    const std::string content = patterned(static_cast<size_t>(size));
    std::string name = "file" + std::to_string(size) + ".bin";
    std::string console;
    ASSERT_EQ(upload(localFile(name, content), "/opt/" + name, true, console), kSshOk);
    EXPECT_EQ(console, progress + kFormatUntouched);
    std::string copy = readFile(lab_.devicePath("opt/" + name));
    EXPECT_EQ(copy.size(), content.size());
    EXPECT_TRUE(copy == content);
  }
}

TEST_F(Upload, WithoutProgressNothingIsPrintedAndLongerTargetsAreCut) {
  const std::string content = patterned(204801);
  std::string target = lab_.devicePath("root/target.bin");
  { std::ofstream(target, std::ios::binary) << patterned(500000) << "tail"; }

  std::string console;
  ASSERT_EQ(upload(localFile("plain.bin", content), "/root/target.bin", false, console), kSshOk);
  EXPECT_EQ(console, kFormatUntouched);
  EXPECT_EQ(fs::file_size(target), content.size());
  EXPECT_TRUE(readFile(target) == content);
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
  EXPECT_EQ(readFile(lab_.devicePath("opt/after.bin")).size(), 30000u);

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
  EXPECT_TRUE(readFile(lab_.devicePath("opt/big.bin")) == patterned(300000));
}

}  // namespace
}  // namespace provision
