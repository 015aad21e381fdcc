// Mode 1 from end to end: the real executable against the lab's device and package server.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <regex>

#include "support/lab.h"
#include "support/scenario.h"

namespace provision::test {
namespace {

const std::regex kServerDownLine = serverDownAtStartUp();

class DriverAndLib : public testing::TestWithParam<const char*> {
 protected:
  void layOut(Lab& lab) {
    ASSERT_TRUE(lab.ok()) << lab.startError();
    ASSERT_EQ(lab.fixture({"packages"}).status, 0);
    if (std::string(GetParam()) == "qm") {
      ASSERT_EQ(lab.fixture({"device-qm"}).status, 0);
    } else {
      ASSERT_EQ(lab.fixture({"device-zr", "--unit", "u12"}).status, 0);
    }
  }
  std::string expectedOutput() const {
    return std::string(GetParam()) == "qm" ? "QM\n3C4D5E6F\n30" : "ZR\nA1B2C3D4\n12";
  }
};

TEST_P(DriverAndLib, InstallsOnlineThenAgainOfflineFromTheStoredBundle) {
  Lab lab(uniqueLabName("mode1"), GetParam());
  layOut(lab);
  // Earlier installations that the run must clear, and an entry it must leave alone.
  for (const char* stale :
       {"opt/Install_old/x", "opt/QMServer_2.0.zip", "opt/old_ZRConfig_CN/x", "opt/keep.txt"})
    writeText(lab.devicePath(stale), "stale\n");
  TechnicianPc pc(lab);

  ProcessResult online = pc.run({"1"});
  EXPECT_EQ(online.status, 0) << online.err;
  EXPECT_EQ(online.out, expectedOutput());
  EXPECT_EQ(online.err, "");
  EXPECT_GE(online.seconds, 2.0);  // one second per pointer line, one before the exit
  EXPECT_EQ(
      folderNames(pc.path("data/lib")),
      (std::vector<std::string>{"DriverAndLib_LatestVersion.txt", "DriverAndLib_V1.2.0.zip"}));
  const std::vector<std::string> opt = folderNames(lab.devicePath("opt"));
  for (const char* gone : {"Install_old", "QMServer_2.0.zip", "old_ZRConfig_CN"})
    EXPECT_EQ(std::count(opt.begin(), opt.end(), gone), 0) << gone;
  for (const char* present :
       {"DriverAndLib_V1.2.0.zip", "Install_driverandlib", "keep.txt", "sys.log"})
    EXPECT_EQ(std::count(opt.begin(), opt.end(), present), 1) << present;
  EXPECT_NE(readText(lab.devicePath("opt/sys.log")).find("DeviceUID : "), std::string::npos);
  EXPECT_NE(readText(lab.devicePath("var/log/lab-evidence.log"))
                .find("install_zelkapi_lib.sh root /opt/Install_driverandlib/dependency"),
            std::string::npos);

  // Offline, right after the run that fetched the bundle: the stored copy is installed.
  ASSERT_TRUE(lab.ftpDown());
  ASSERT_EQ(lab.device("rm -r /opt/Install_driverandlib /opt/sys.log /opt/*.zip").status, 0);
  ProcessResult offline = pc.run({"1"});
  EXPECT_EQ(offline.status, 0) << offline.err;
  EXPECT_EQ(offline.out, expectedOutput());
  EXPECT_TRUE(std::regex_match(offline.err, kServerDownLine)) << offline.err;
  EXPECT_LT(offline.seconds, online.seconds);  // no pause per pointer line
  EXPECT_TRUE(std::ifstream(lab.devicePath("opt/Install_driverandlib/SystemRead")).good());
}

INSTANTIATE_TEST_SUITE_P(BothLines, DriverAndLib, testing::Values("qm", "zr"));

TEST(DriverAndLibFailures, MissingPointerFileEndsTheRunBeforeAnyDeviceWork) {
  Lab lab(uniqueLabName("mode1-nopointer"), "qm");
  ASSERT_TRUE(lab.ok()) << lab.startError();
  TechnicianPc pc(lab);  // the package server is empty

  // A server that answered but has no pointer file fails the download: nothing local is used.
  ProcessResult run = pc.run({"1"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(maskTimestamps(run.out),
            "QM\n[T] : [ERROR]The pointer file "
            "/ProcessEquipment/Quorvex/DriverAndLib_LatestVersion.txt could not be fetched from "
            "the package server at 192.168.10.1: the package server has no such folder, or "
            "refused to enter it (error 9); nothing was installed\n");
  EXPECT_NE(run.err.find("FtpGetFile failed. Error: 9"), std::string::npos) << run.err;

  // Offline, with no pointer file of an earlier run, the workflow ends without a word.
  ASSERT_TRUE(lab.ftpDown());
  run = pc.run({"1"});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, "QM\n");
  EXPECT_EQ(countOf(lab.sshdLog(), "Connection from"), 2) << "only the probes connected";
}

TEST(DriverAndLibFailures, FailedUploadIsAFailureNotASuccess) {
  Lab lab(uniqueLabName("mode1-upload"), "qm");
  ASSERT_TRUE(lab.ok()) << lab.startError();
  ASSERT_EQ(lab.fixture({"packages"}).status, 0);
  ASSERT_EQ(lab.fixture({"device-qm"}).status, 0);
  // The device's /opt is too small for the bundle.
  ASSERT_EQ(lab.device("mount -t tmpfs -o size=16k tmpfs /opt").status, 0);
  TechnicianPc pc(lab);

  ProcessResult run = pc.run({"1"});
  EXPECT_EQ(run.status, 256 - 14);
  EXPECT_EQ(maskTimestamps(run.out),
            "QM\n[T] : [ERROR]Failed to upload the driver and library bundle, status -14\n");
}

// A bundle that is not sound never reaches the device, and a step that fails leaves the unit's
// report as it was: the bundle's later steps, SystemRead among them, do not run.
TEST(DriverAndLibFailures, FailedStepsLeaveTheUnitsReport) {
  Lab lab(uniqueLabName("mode1-steps"), "zr");
  ASSERT_TRUE(lab.ok()) << lab.startError();
  ASSERT_EQ(lab.fixture({"device-zr"}).status, 0);
  const std::string report = readText(lab.devicePath("opt/sys.log"));
  const struct {
    const char* what;
    std::vector<std::string> packages;  // the packages fixture and its options
    const char* device;                 // what happens on the device before the run
    int status;
    const char* line;
  } rows[] = {
      {"a damaged bundle",
       {"packages", "--flipped-byte"},
       "true",
       4,
       "[ERROR]The package DriverAndLib_V1.2.0.zip fetched into "},
      {"an unpack that fails",
       {"packages"},
       "mkdir -p /opt/Install_driverandlib && "
       "mount -t tmpfs -o ro,size=4k tmpfs /opt/Install_driverandlib",
       3,
       "[ERROR]The device could not install DriverAndLib_V1.2.0.zip: the unpack ended with "},
  };
  int pc = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    ASSERT_EQ(lab.fixture(row.packages).status, 0);
    ASSERT_EQ(lab.device(row.device).status, 0);
    TechnicianPc technician(lab, "pc" + std::to_string(++pc));
    ProcessResult run = technician.run({"1"});
    EXPECT_EQ(run.status, row.status) << run.out << run.err;
    EXPECT_NE(run.out.find(row.line), std::string::npos) << run.out;
    EXPECT_EQ(readText(lab.devicePath("opt/sys.log")), report);
    const std::string record = technician.record();
    EXPECT_EQ(record.find("SystemRead"), std::string::npos) << record;
    EXPECT_EQ(record.find("chmod"), std::string::npos) << record;
    if (row.status == 4) {
      EXPECT_EQ(record.find("command:"), std::string::npos) << record;
    }
  }
}

}  // namespace
}  // namespace provision::test
