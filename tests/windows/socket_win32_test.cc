// Winsock under the SSH link: registration pairing, address parsing, and the waits of a connect
// and of the link's steps. Runs under Wine in a namespace with nothing but loopback, where nothing
// listens on port 22 unless a test puts a peer there.
#include <gtest/gtest.h>
#include <winsock2.h>

#include <chrono>
#include <string>

#include "device/socket.h"
#include "device/ssh_link.h"
#include "support/waits.h"
#include "windows/loopback.h"

namespace provision {
namespace {

// Whether this process is registered with Winsock: a socket can be made only then.
bool winsockRegistered() {
  SOCKET probe = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (probe == INVALID_SOCKET) {
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
    return false;
  }
  ::closesocket(probe);
  return true;
}

TEST(WinsockRegistration, EachStartupNeedsItsOwnCleanup) {
  ASSERT_FALSE(winsockRegistered());
  ASSERT_TRUE(net::startup());
  ASSERT_TRUE(net::startup());
  net::cleanup();
  EXPECT_TRUE(winsockRegistered()) << "one cleanup must not undo the other link's startup";
  net::cleanup();
  EXPECT_FALSE(winsockRegistered());
}

TEST(WinsockRegistration, FailedOpenLeavesNoRegistration) {
  SshLink link;
  EXPECT_EQ(link.open("device.local", "root", "lwzq"), kSshBadAddress);
  EXPECT_FALSE(winsockRegistered());
  EXPECT_EQ(link.open("127.0.0.1", "root", "lwzq"), kSshConnectFailed);
  EXPECT_FALSE(winsockRegistered());
  EXPECT_FALSE(link.isOpen());
}

TEST(WinsockRegistration, FailedOpenKeepsAnotherLinksRegistration) {
  ASSERT_TRUE(net::startup());  // stands for a link that is still open
  SshLink link;
  EXPECT_EQ(link.open("127.0.0.1", "root", "lwzq"), kSshConnectFailed);
  EXPECT_TRUE(winsockRegistered());
  net::cleanup();
  EXPECT_FALSE(winsockRegistered());
}

class Ipv4Text : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(net::startup()); }
  void TearDown() override { net::cleanup(); }
  unsigned char address_[4] = {0, 0, 0, 0};
};

TEST_F(Ipv4Text, DottedAddressGivesItsBytesInOrder) {
  ASSERT_TRUE(net::parseIPv4("192.168.10.2", address_));
  EXPECT_EQ(address_[0], 192);
  EXPECT_EQ(address_[1], 168);
  EXPECT_EQ(address_[2], 10);
  EXPECT_EQ(address_[3], 2);
}

TEST_F(Ipv4Text, AnythingElseIsRefused) {
  for (const std::string text : {"", "device.local", "192.168.10", "192.168.10.256",
                                 "192.168.10.2 ", "::1", "192.168.10.2/24"}) {
    EXPECT_FALSE(net::parseIPv4(text, address_)) << '"' << text << '"';
  }
  EXPECT_FALSE(net::parseIPv4(std::string("192.168.10.2\0x", 14), address_));
  // Widened byte by byte, a non-ASCII byte becomes a code unit that no address holds.
  EXPECT_FALSE(net::parseIPv4("192.168.10.\xb2", address_));
  EXPECT_FALSE(net::parseIPv4("\xef\xbc\x91.2.3.4", address_));  // full-width digit one
}

// Checks that `out` and `seconds` are those of an open given up in `step` after the connect wait.
void expectGivenUp(const std::string& out, double seconds, const std::string& step,
                   std::chrono::milliseconds wait) {
  EXPECT_TRUE(test::isOneErrorLine(out, "The device stopped answering during " + step +
                                            " (no reply for " +
                                            std::to_string(wait.count() / 1000) + " s)"));
  EXPECT_GE(seconds, std::chrono::duration<double>(wait).count() - 0.1);
  EXPECT_LT(seconds, test::givenUpBefore(LinkWaits{}.connect));
}

TEST(WinsockWaits, DeviceThatAnswersNothingStallsTheOpenAfterItsWaitAndReleasesWinsock) {
  const LinkWaits waits = test::shortLinkWaits();
  std::string output = "kept";
  {
    // An SSH server that hangs: the connection is made, no banner ever comes.
    test::LoopbackListener hung(22, 4);
    ASSERT_TRUE(hung.listening());
    SshLink link(waits);
    testing::internal::CaptureStdout();
    test::Stopwatch opening;
    EXPECT_EQ(link.open("127.0.0.1", "root", "lwzq"), kSshStalled);
    const double waited = opening.seconds();
    expectGivenUp(testing::internal::GetCapturedStdout(), waited, "the SSH handshake",
                  waits.connect);
    testing::internal::CaptureStdout();
    EXPECT_EQ(link.runCommand("true", output), kSshStalled);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");  // no second wait
  }
  EXPECT_EQ(output, "kept");
  EXPECT_FALSE(winsockRegistered());

  // Switched off: not even the connection is answered.
  test::LoopbackListener off(22, 0);
  ASSERT_TRUE(off.listening());
  off.fillQueue();
  SshLink link(waits);
  testing::internal::CaptureStdout();
  test::Stopwatch connecting;
  EXPECT_EQ(link.open("127.0.0.1", "root", "lwzq"), kSshStalled);
  const double waited = connecting.seconds();
  expectGivenUp(testing::internal::GetCapturedStdout(), waited, "the connection", waits.connect);
}

}  // namespace
}  // namespace provision
