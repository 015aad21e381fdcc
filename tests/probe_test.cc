// Telling a QM from a ZR unit by the root password the lab device accepts.
#include "install/probe.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "device/ssh_link.h"
#include "settings/settings.h"
#include "support/files.h"
#include "support/lab.h"

namespace provision {
namespace {

using test::Lab;
using test::NetnsScope;
using test::uniqueLabName;

constexpr const char* kConnection = "Connection from ";
constexpr const char* kRootAccepted = "Accepted password for root";
constexpr const char* kRootRefused = "Failed password for root";

struct ProbeRun {
  int status;
  std::string console;
};

ProbeRun probe(const Lab& lab) {
  NetnsScope scope(lab);
  // Outside the lab the device address would go out to the real network.
  if (!scope.ok()) {
    ADD_FAILURE() << "could not enter the lab network";
    return {-1, ""};
  }
  testing::internal::CaptureStdout();
  int status = probeDeviceKind();
  return {status, testing::internal::GetCapturedStdout()};
}

TEST(Probe, QmUnitIsKnownByTheFirstPassword) {
  Lab lab(uniqueLabName("probe-qm"), "qm");
  ASSERT_TRUE(lab.ok()) << lab.startError();
  settings.deviceKind = DeviceKind::QM;

  ProbeRun run = probe(lab);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.console, "QM\n");
  EXPECT_EQ(settings.deviceKind, DeviceKind::QM);
  EXPECT_EQ(test::countOf(lab.sshdLog(), kConnection), 1);
  EXPECT_EQ(test::countOf(lab.sshdLog(), kRootRefused), 0);
}

TEST(Probe, ZrUnitIsKnownAfterOneRefusedAttempt) {
  Lab lab(uniqueLabName("probe-zr"), "zr");
  ASSERT_TRUE(lab.ok()) << lab.startError();
  settings.deviceKind = DeviceKind::QM;

  ProbeRun run = probe(lab);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.console, "ZR\n");
  EXPECT_EQ(settings.deviceKind, DeviceKind::ZR);
  EXPECT_EQ(test::countOf(lab.sshdLog(), kConnection), 2);
  EXPECT_EQ(test::countOf(lab.sshdLog(), kRootRefused), 1);
  EXPECT_EQ(lab.waitForSshdLog(kRootAccepted, 1), 1);
}

TEST(Probe, UnknownWhenBothPasswordsAreRefusedOrTheDeviceIsAway) {
  Lab lab(uniqueLabName("probe-none"), "none");
  ASSERT_TRUE(lab.ok()) << lab.startError();
  settings.deviceKind = DeviceKind::QM;

  ProbeRun refused = probe(lab);
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.console, "");
  EXPECT_EQ(test::countOf(lab.sshdLog(), kConnection), 2);
  EXPECT_EQ(lab.waitForSshdLog(": Normal Shutdown", 2), 2);

  ASSERT_TRUE(lab.unplugDevice());
  ProbeRun away = probe(lab);
  EXPECT_EQ(away.status, 1);
  EXPECT_EQ(away.console, "");
  EXPECT_EQ(test::countOf(lab.sshdLog(), kConnection), 2);
  EXPECT_EQ(settings.deviceKind, DeviceKind::QM);
}

}  // namespace
}  // namespace provision
