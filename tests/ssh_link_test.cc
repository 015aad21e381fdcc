// Opening and closing a link to the lab device: the code of each failing step, what a failed
// link answers, and that nothing stays held after a failure or after the link is gone.
#include "device/ssh_link.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "device/device_account.h"
#include "device/socket.h"
#include "log/run_record.h"
#include "support/files.h"
#include "support/lab.h"
#include "support/scenario.h"
#include "support/waits.h"

namespace provision {
namespace {

using test::Lab;
using test::NetnsScope;
using test::uniqueLabName;

int openDescriptors() {
  return static_cast<int>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                        std::filesystem::directory_iterator{}));
}

constexpr const char* kConnection = "Connection from ";
constexpr const char* kNormalShutdown = ": Normal Shutdown";

TEST(SocketSeam, AcceptsOnlyDottedIPv4Text) {
  unsigned char address[4] = {};
  ASSERT_TRUE(net::parseIPv4("192.168.10.2", address));
  EXPECT_EQ(address[0], 192);
  EXPECT_EQ(address[1], 168);
  EXPECT_EQ(address[2], 10);
  EXPECT_EQ(address[3], 2);

  const std::string notAddresses[] = {"",
                                      "device",
                                      "localhost",
                                      "192.168.10",
                                      "192.168.10.256",
                                      " 192.168.10.2",
                                      "192.168.10.2 ",
                                      "192.168.10.2:22",
                                      "::1",
                                      std::string("192.168.10.2\0x", 14)};
  for (const std::string& text : notAddresses) {
    EXPECT_FALSE(net::parseIPv4(text, address)) << text;
  }
}

TEST(SshLinkOpen, HostTextThatIsNoAddressFailsWithMinus3AndHoldsNothing) {
  SshLink link;
  int descriptors = openDescriptors();
  for (const char* host : {"device", "localhost", "192.168.10", ""}) {
    EXPECT_EQ(link.open(host, kRootUser, kQmRootPassword), kSshBadAddress) << host;
    EXPECT_FALSE(link.isOpen());
  }
  EXPECT_EQ(openDescriptors(), descriptors);
}

// Listens on 127.0.0.1:22 of the current network namespace and hangs up on the first caller
// before saying anything.
class HangUpServer {
 public:
  HangUpServer() {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    int yes = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(kSshPort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    listening_ = ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                 ::listen(listener_, 1) == 0;
    if (listening_)
      thread_ = std::thread([this] { ::close(::accept(listener_, nullptr, nullptr)); });
  }
  ~HangUpServer() {
    if (thread_.joinable()) thread_.join();
    ::close(listener_);
  }
  bool listening() const { return listening_; }

 private:
  int listener_;
  bool listening_ = false;
  std::thread thread_;
};

TEST(SshLinkOpen, NothingListeningOrDeviceUnpluggedFailsWithMinus4) {
  Lab lab(uniqueLabName("link-connect"));
  ASSERT_TRUE(lab.ok()) << lab.startError();
  NetnsScope scope(lab);
  ASSERT_TRUE(scope.ok());

  SshLink link;
  int descriptors = openDescriptors();
  EXPECT_EQ(link.open("127.0.0.1", kRootUser, kQmRootPassword), kSshConnectFailed);
  ASSERT_TRUE(lab.unplugDevice());
  EXPECT_EQ(link.open(kDeviceHost, kRootUser, kQmRootPassword), kSshConnectFailed);
  EXPECT_EQ(openDescriptors(), descriptors);
  EXPECT_FALSE(link.isOpen());

  ASSERT_TRUE(lab.plugDevice());
  EXPECT_EQ(link.open(kDeviceHost, kRootUser, kQmRootPassword), kSshOk);
}

TEST(SshLinkOpen, PeerThatIsNoSshServerFailsWithMinus7AndHoldsNothing) {
  Lab lab(uniqueLabName("link-handshake"));
  ASSERT_TRUE(lab.ok()) << lab.startError();
  NetnsScope scope(lab);
  ASSERT_TRUE(scope.ok());
  // One good link first, so that anything the crypto library keeps for good is already held.
  { EXPECT_EQ(SshLink().open(kDeviceHost, kRootUser, kQmRootPassword), kSshOk); }

  int descriptors = openDescriptors();
  SshLink link;
  {
    HangUpServer server;
    ASSERT_TRUE(server.listening());
    EXPECT_EQ(link.open("127.0.0.1", kRootUser, kQmRootPassword), kSshHandshakeFailed);
  }
  EXPECT_FALSE(link.isOpen());
  EXPECT_EQ(openDescriptors(), descriptors);
  EXPECT_EQ(link.open(kDeviceHost, kRootUser, kQmRootPassword), kSshOk);
}

TEST(SshLinkOpen, RefusedPasswordFailsWithMinus8AndTheLinkAnswersWithoutTheDevice) {
  Lab lab(uniqueLabName("link-auth"));
  ASSERT_TRUE(lab.ok()) << lab.startError();
  NetnsScope scope(lab);
  ASSERT_TRUE(scope.ok());
  std::string local = lab.dir() + "/local.bin";
  { std::ofstream(local, std::ios::binary) << "payload"; }

  SshLink link;
  EXPECT_EQ(link.open(kDeviceHost, kRootUser, kZrRootPassword), kSshAuthFailed);
  EXPECT_FALSE(link.isOpen());
  // The failed attempt said goodbye properly.
  EXPECT_EQ(lab.waitForSshdLog(kNormalShutdown, 1), 1);

  std::string output = "kept";
  testing::internal::CaptureStdout();
  EXPECT_EQ(link.runCommand("touch /opt/ran", output), kSshChannelFailed);
  EXPECT_EQ(link.uploadFile(local, "/opt/local.bin", true), kSshRemoteOpenFailed);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(output, "kept");
  EXPECT_FALSE(std::filesystem::exists(lab.devicePath("opt/ran")));
  EXPECT_FALSE(std::filesystem::exists(lab.devicePath("opt/local.bin")));
  EXPECT_EQ(test::countOf(lab.sshdLog(), kConnection), 1);

  // The same link opens with the right password afterwards.
  ASSERT_EQ(link.open(kDeviceHost, kRootUser, kQmRootPassword), kSshOk);
  EXPECT_TRUE(link.isOpen());
  output.clear();
  EXPECT_EQ(link.runCommand("id -un", output), kSshOk);
  EXPECT_EQ(output, "root\n");
  EXPECT_EQ(test::countOf(lab.sshdLog(), kConnection), 2);
}

TEST(SshLinkLifetime, ReopeningAndDestroyingShutDownEachConnection) {
  Lab lab(uniqueLabName("link-life"), "zr");
  ASSERT_TRUE(lab.ok()) << lab.startError();
  NetnsScope scope(lab);
  ASSERT_TRUE(scope.ok());

  int descriptors = openDescriptors();
  {
    SshLink link;
    ASSERT_EQ(link.open(kDeviceHost, kZrUser, kZrUserPassword), kSshOk);
    ASSERT_EQ(link.open(kDeviceHost, kRootUser, kZrRootPassword), kSshOk);
    EXPECT_EQ(lab.waitForSshdLog(kNormalShutdown, 1), 1);
    std::string output;
    EXPECT_EQ(link.runCommand("id -un", output), kSshOk);
    EXPECT_EQ(output, "root\n");
  }
  EXPECT_EQ(lab.waitForSshdLog(kNormalShutdown, 2), 2);
  EXPECT_EQ(openDescriptors(), descriptors);
}

TEST(SshLinkStall, DeviceThatAnswersNothingFailsTheOpenAfterItsWaitAndTriesAfreshNextTime) {
  Lab lab(uniqueLabName("link-stall"));
  ASSERT_TRUE(lab.ok()) << lab.startError();
  NetnsScope scope(lab);
  ASSERT_TRUE(scope.ok());
  std::string local = lab.dir() + "/local.bin";
  test::writeText(local, "payload");
  SshLink link(test::shortLinkWaits());
  // One good link first, so that anything the crypto library keeps for good is already held.
  ASSERT_EQ(link.open(kDeviceHost, kRootUser, kQmRootPassword), kSshOk);
  link.close();
  int descriptors = openDescriptors();

  // The SSH server hangs: its kernel still accepts the connection, nobody answers.
  ASSERT_TRUE(lab.hang("device"));
  testing::internal::CaptureStdout();
  test::Stopwatch opening;
  EXPECT_EQ(link.open(kDeviceHost, kRootUser, kQmRootPassword), kSshStalled);
  const double waited = opening.seconds();
  EXPECT_EQ(test::maskTimestamps(testing::internal::GetCapturedStdout()),
            "[T] : [ERROR]The device stopped answering during the SSH handshake (no reply for "
            "2 s)\n");
  EXPECT_GE(waited, 1.9);
  EXPECT_LT(waited, test::givenUpBefore(LinkWaits{}.connect));

  // An open with a deadline gives up there, however long its steps could each wait.
  SshLink attempt;
  testing::internal::CaptureStdout();
  EXPECT_EQ(attempt.open(kDeviceHost, kRootUser, kQmRootPassword,
                         std::chrono::steady_clock::now() + std::chrono::milliseconds(500)),
            kSshStalled);
  const std::string cut = test::maskTimestamps(testing::internal::GetCapturedStdout());
  EXPECT_TRUE(std::regex_match(cut, std::regex(R"(\[T\] : \[ERROR\]The device stopped answering )"
                                               R"(during the SSH handshake \(no reply for )"
                                               R"(0\.[1-5] s\)\n)")))
      << cut;

  // What follows on the link fails at once, without a word and without the device.
  std::string output = "kept";
  testing::internal::CaptureStdout();
  EXPECT_EQ(link.runCommand("touch /opt/ran", output), kSshStalled);
  EXPECT_EQ(link.uploadFile(local, "/opt/local.bin", true), kSshStalled);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");  // no wait, so no error line
  EXPECT_EQ(output, "kept");
  EXPECT_FALSE(link.isOpen());
  EXPECT_EQ(openDescriptors(), descriptors);

  // The next open tries afresh.
  ASSERT_TRUE(lab.resume("device"));
  ASSERT_EQ(link.open(kDeviceHost, kRootUser, kQmRootPassword), kSshOk);
  output.clear();
  EXPECT_EQ(link.runCommand("id -un", output), kSshOk);
  EXPECT_EQ(output, "root\n");
  link.close();

  // Switched off, the device does not even refuse the connection.
  ASSERT_TRUE(lab.powerOff());
  testing::internal::CaptureStdout();
  test::Stopwatch connecting;
  EXPECT_EQ(link.open(kDeviceHost, kRootUser, kQmRootPassword), kSshStalled);
  EXPECT_LT(connecting.seconds(), test::givenUpBefore(LinkWaits{}.connect));
  EXPECT_EQ(test::maskTimestamps(testing::internal::GetCapturedStdout()),
            "[T] : [ERROR]The device stopped answering during the connection (no reply for "
            "2 s)\n");
  EXPECT_EQ(openDescriptors(), descriptors);
}

// What a link does on each of the lab's two SSH servers: OpenSSH, and Dropbear with BusyBox.
class SshLinkSession : public testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(lab_.ok()) << lab_.startError();
    ASSERT_TRUE(scope_.ok());
  }

  Lab lab_{uniqueLabName("session"), "qm", GetParam()};
  NetnsScope scope_{lab_};
};

TEST_P(SshLinkSession, NegotiatesAnAeadCipherAndNamesWhatItNegotiatedInTheRunRecord) {
  const std::string path = lab_.dir() + "/provision.log";
  {
    RunRecord record(path, "start: link");
    SshLink link;
    ASSERT_EQ(link.open(kDeviceHost, kRootUser, kQmRootPassword), kSshOk);
    EXPECT_NE(link.negotiated().find("cipher chacha20-poly1305@openssh.com both ways, MAC "
                                     "aead-poly1305 both ways"),
              std::string::npos)
        << link.negotiated();
  }
  EXPECT_TRUE(std::regex_search(
      test::readText(path),
      std::regex(R"(\] link: 192\.168\.10\.2 as root: kex [a-z0-9@.-]+, cipher )"
                 R"(chacha20-poly1305@openssh\.com both ways, MAC aead-poly1305 both ways, )"
                 R"(host key SHA256:[A-Za-z0-9+/]{43}
)"))) << test::readText(path);
}

TEST_P(SshLinkSession, ExitStatusesArriveBeforeOrAfterTheEndOfTheOutput) {
  SshLink link;
  ASSERT_EQ(link.open(kDeviceHost, kRootUser, kQmRootPassword), kSshOk);
  struct Case {
    const char* command;
    const char* output;
    int exitStatus;
  };
  for (const Case& c : {Case{"echo one; exit 3", "one\n", 3}, Case{"true", "", 0},
                        Case{"echo gone; kill -KILL $$", "gone\n", kNoExitStatus},
                        Case{"echo late >&2; exit 255", "", 255}}) {
    std::string output;
    int exitStatus = 7;
    EXPECT_EQ(link.runCommand(c.command, output, exitStatus), kSshOk) << c.command;
    EXPECT_EQ(output, c.output) << c.command;
    EXPECT_EQ(exitStatus, c.exitStatus) << c.command;
  }
}

TEST_P(SshLinkSession, SilentCommandThreeTimesTheSilenceLimitIsKeptAlive) {
  // A keepalive request every two seconds, answered at once, and the device counts as silent
  // after three: every interval must send one, also the one after the last reply came.
  LinkWaits waits = test::shortLinkWaits();
  waits.keepalive = std::chrono::milliseconds(2000);
  SshLink link(waits);
  ASSERT_EQ(link.open(kDeviceHost, kRootUser, kQmRootPassword), kSshOk);
  std::string output;
  int exitStatus = kNoExitStatus;
  test::Stopwatch running;
  testing::internal::CaptureStdout();
  EXPECT_EQ(link.runCommand("sleep 9; echo done", output, exitStatus), kSshOk);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_GE(running.seconds(), 9.0);
  EXPECT_EQ(output, "done\n");
  EXPECT_EQ(exitStatus, 0);
}

TEST_P(SshLinkSession, PeerThatDropsTheConnectionMidCommandLeavesNothingBehind) {
  const int descriptors = openDescriptors();
  int sentinel = -1;
  {
    SshLink link(test::shortLinkWaits());
    ASSERT_EQ(link.open(kDeviceHost, kRootUser, kQmRootPassword), kSshOk);
    std::string output;
    int exitStatus = 7;
    // The command ends the server process of its own connection.
    EXPECT_EQ(link.runCommand("echo bye; kill -KILL $PPID; sleep 5", output, exitStatus), kSshOk);
    EXPECT_EQ(exitStatus, kNoExitStatus);
    // The socket's number is free again once libssh closed it; a file that takes it must
    // survive the link's own teardown.
    sentinel = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(sentinel, 0);
    EXPECT_EQ(link.runCommand("true", output), kSshChannelFailed);
  }
  EXPECT_NE(::fcntl(sentinel, F_GETFD), -1) << "the link closed a descriptor that was not its own";
  ::close(sentinel);
  EXPECT_EQ(openDescriptors(), descriptors);

  SshLink next;
  ASSERT_EQ(next.open(kDeviceHost, kRootUser, kQmRootPassword), kSshOk);
  std::string output;
  EXPECT_EQ(next.runCommand("echo again", output), kSshOk);
  EXPECT_EQ(output, "again\n");
}

INSTANTIATE_TEST_SUITE_P(BothDevices, SshLinkSession, testing::Values("openssh", "dropbear"));

TEST(SshLinkCiphers, DeviceThatOffersOnlyCtrGetsCtrWithAMac) {
  Lab lab(uniqueLabName("link-ctr"));
  ASSERT_TRUE(lab.ok()) << lab.startError();
  NetnsScope scope(lab);
  ASSERT_TRUE(scope.ok());
  ASSERT_TRUE(lab.sshCiphers("aes256-ctr,aes128-ctr"));

  SshLink link;
  ASSERT_EQ(link.open(kDeviceHost, kRootUser, kQmRootPassword), kSshOk);
  // The link's order decides: aes128-ctr before aes256-ctr.
  EXPECT_TRUE(std::regex_search(
      link.negotiated(), std::regex("cipher aes128-ctr both ways, MAC hmac-sha2-\\S+ both ways")))
      << link.negotiated();
  std::string output;
  EXPECT_EQ(link.runCommand("echo ctr", output), kSshOk);
  EXPECT_EQ(output, "ctr\n");

  // Nothing the link offers: the handshake fails.
  ASSERT_TRUE(lab.sshCiphers("aes128-cbc"));
  EXPECT_EQ(link.open(kDeviceHost, kRootUser, kQmRootPassword), kSshHandshakeFailed);
}

}  // namespace
}  // namespace provision
