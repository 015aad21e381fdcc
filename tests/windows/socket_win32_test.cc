// Winsock under the SSH link: registration pairing and address parsing. Runs under Wine in a
// namespace with nothing but loopback, where nothing listens on port 22.
#include <gtest/gtest.h>
#include <winsock2.h>

#include "device/socket.h"
#include "device/ssh_link.h"

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

}  // namespace
}  // namespace provision
