// The entry point of the real executable: arguments, the device probe and the folder tree.
#include <gtest/gtest.h>

#include <regex>

#include "support/lab.h"
#include "support/scenario.h"

namespace provision::test {
namespace {

const std::vector<std::string> kDataTree{"CalFile", "QM", "ZR", "lib"};

TEST(Provision, RejectedFirstArgumentStopsBeforeAnyConnectionOrFolder) {
  Lab lab(uniqueLabName("args"), "qm");
  ASSERT_TRUE(lab.ok()) << lab.startError();
  TechnicianPc pc(lab);
  const std::pair<const char*, const char*> cases[] = {
      {"abc", "invalid stoi argument\n"}, {"99999999999", "stoi argument out of range\n"}};
  for (const auto& [argument, message] : cases) {
    ProcessResult run = pc.run({argument, "CN"});
    EXPECT_EQ(run.status, 64) << argument;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, message);
  }
  EXPECT_EQ(countOf(lab.sshdLog(), "Connection from"), 0);
  EXPECT_TRUE(folderNames(pc.path("data")).empty());
}

TEST(Provision, OtherModesOnlyProbeAndPrepareTheFolders) {
  Lab lab(uniqueLabName("modes"), "zr");
  ASSERT_TRUE(lab.ok()) << lab.startError();
  TechnicianPc pc(lab);
  for (const char* mode : {"0", "3", "-5"}) {
    ProcessResult run = pc.run({mode, "", "sub", "ignored"});
    EXPECT_EQ(run.status, 0) << mode;
    EXPECT_EQ(run.out, "ZR\n") << mode;
    EXPECT_EQ(run.err, "") << mode;
  }
  EXPECT_EQ(folderNames(pc.path("data")), kDataTree);
  EXPECT_TRUE(folderNames(lab.devicePath("opt")).empty());
}

TEST(Provision, PackageServerDownIsNotAnError) {
  Lab lab(uniqueLabName("serverdown"), "qm");
  ASSERT_TRUE(lab.ok()) << lab.startError();
  ASSERT_TRUE(lab.ftpDown());
  TechnicianPc pc(lab);
  ProcessResult run = pc.run({"3"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "QM\n");
  EXPECT_TRUE(std::regex_match(run.err, std::regex(R"(InternetConnect failed\. Error: \d+\n)")))
      << run.err;
  EXPECT_EQ(folderNames(pc.path("data")), kDataTree);
}

TEST(Provision, DeviceThatRefusesBothPasswordsEndsWithOneAndCreatesNothing) {
  Lab lab(uniqueLabName("refused"), "none");
  ASSERT_TRUE(lab.ok()) << lab.startError();
  TechnicianPc pc(lab);
  for (const char* mode : {"1", "2", "3"}) {
    ProcessResult run = pc.run({mode});
    EXPECT_EQ(run.status, 1) << mode;
    EXPECT_EQ(run.out, "") << mode;
  }
  EXPECT_TRUE(folderNames(pc.path("data")).empty());
}

TEST(Provision, UnreachableDeviceEndsWithOne) {
  Lab lab(uniqueLabName("unplugged"), "qm");
  ASSERT_TRUE(lab.ok()) << lab.startError();
  ASSERT_TRUE(lab.unplugDevice());
  TechnicianPc pc(lab);
  ProcessResult run = pc.run({});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_TRUE(folderNames(pc.path("data")).empty());
}

TEST(ProvisionStall, DeviceWhoseSshServerHangsEndsTheProbeWithOneAfterBothWaits) {
  Lab lab(uniqueLabName("probe-hung"), "qm");
  ASSERT_TRUE(lab.ok()) << lab.startError();
  ASSERT_TRUE(lab.hang("device"));
  TechnicianPc pc(lab);
  ProcessResult run = pc.run({});
  EXPECT_EQ(run.status, 1);
  const std::string line =
      "[T] : [ERROR]The device stopped answering during the SSH handshake (no reply for 10 s)\n";
  EXPECT_EQ(maskTimestamps(run.out), line + line);  // the QM password, then the ZR password
  EXPECT_GE(run.seconds, 20.0);
  EXPECT_LT(run.seconds, 60.0);
  EXPECT_TRUE(folderNames(pc.path("data")).empty());
}

}  // namespace
}  // namespace provision::test
