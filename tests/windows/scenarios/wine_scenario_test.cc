// provision.exe under Wine in a lab: what only the Windows build does. Needs PROVISION_LAUNCHER
// (tests/windows/wine-run) and PROVISION_EXE, as scripts/windows-test sets them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <regex>

#include "support/history.h"
#include "support/lab.h"
#include "support/scenario.h"

namespace provision::test {
namespace {

const std::vector<std::string> kDataTree{"CalFile", "QM", "ZR", "lib"};
constexpr const char* kQmPointer = "/ProcessEquipment/QMServer/55/QMServer_LatestVersion.txt";
constexpr const char* kU51Calibration = "/DeviceDataBase/K700_R5_V3(051)/7F3A90C1/Cal_20261101/";

class WineScenario : public testing::Test {
 protected:
  void SetUp() override {
    const char* launcher = std::getenv("PROVISION_LAUNCHER");
    if (launcher == nullptr || *launcher == '\0') GTEST_SKIP() << "runs under Wine only";
  }

  void layOut(Lab& lab, const std::vector<std::string>& device) {
    ASSERT_TRUE(lab.ok()) << lab.startError();
    ASSERT_EQ(lab.fixture({"packages"}).status, 0);
    ASSERT_EQ(lab.fixture(device).status, 0);
  }
};

TEST_F(WineScenario, PackageServerErrorsCarryLibcurlCodes) {
  Lab lab(uniqueLabName("wine-codes"), "qm");
  layOut(lab, {"device-qm"});
  TechnicianPc pc(lab);

  ASSERT_TRUE(lab.ftpDown());
  ProcessResult down = pc.run({"3"});
  EXPECT_EQ(down.out, "QM\n");
  // Cannot connect; the next line says that the run works from the data folder.
  EXPECT_TRUE(down.err.starts_with("InternetConnect failed. Error: 7\n")) << down.err;
  ASSERT_TRUE(lab.ftpUp());

  ASSERT_TRUE(lab.ftpFault({"refuse-login"}));
  const std::string refused = pc.run({"3"}).err;
  EXPECT_TRUE(refused.starts_with("InternetConnect failed. Error: 67\n")) << refused;
  ASSERT_TRUE(lab.ftpFault({"clear"}));

  ASSERT_TRUE(std::filesystem::remove(lab.ftpRoot() + kQmPointer));
  ProcessResult missing = pc.run({"2"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err, std::string("FtpGetFile failed. Error: 78\n") + kQmPointer +  // a 550
                             " is not on the package server at 192.168.10.1 (error 78): have it "
                             "put there, then start the run again\n");
  EXPECT_EQ(missing.out.rfind("QM\n", 0), 0u) << missing.out;
}

TEST_F(WineScenario, TruncatedDownloadKeepsTheEarlierCopy) {
  Lab lab(uniqueLabName("wine-truncated"), "qm");
  layOut(lab, {"device-qm"});
  TechnicianPc pc(lab);
  ProcessResult first = pc.run({"2"});
  ASSERT_EQ(first.status, 0) << first.err;
  const std::string pointer = pc.path("data/QM/QMServer_LatestVersion.txt");
  const std::string earlier = readText(pointer);
  ASSERT_FALSE(earlier.empty());
  const std::vector<std::string> stored = folderNames(pc.path("data/QM"));

  writeText(lab.ftpRoot() + kQmPointer, "QMServer_V3.1.zip\nQMServer_V9.9.zip");
  ASSERT_TRUE(lab.ftpFault({"drop-after", "5", kQmPointer}));
  ProcessResult dropped = pc.run({"2"});
  // A partial file, or a failed accept when the server's 426 overtakes the data connection.
  EXPECT_EQ(dropped.status, 1);
  EXPECT_TRUE(std::regex_match(
      dropped.err, std::regex("FtpGetFile failed\\. Error: (18|10)\nA transfer from the package "
                              "server at 192\\.168\\.10\\.1 broke off \\(error \\1\\): start the "
                              "run again; if it breaks off again, check the network between this "
                              "PC and the package server\n")))
      << dropped.err;
  EXPECT_EQ(readText(pointer), earlier);
  EXPECT_EQ(folderNames(pc.path("data/QM")), stored) << "no partial or temporary file is left";
}

TEST_F(WineScenario, NonAsciiCalibrationFileNamesReachTheDevice) {
  // The listing's names as the server sends them (UTF-8), and the local files by those names.
  // (Every unit's set in the lab has "Verstärkung Kanal 1.cal" too.)
  const std::string german = "Kalibrierung-\xc3\xbc.cal";
  const std::string chinese = "\xe6\xa0\xa1\xe5\x87\x86.cal";
  Lab lab(uniqueLabName("wine-names"), "zr");
  layOut(lab, {"device-zr", "--unit", "u51"});
  writeText(lab.ftpRoot() + kU51Calibration + german, "umlaut\n");
  writeText(lab.ftpRoot() + kU51Calibration + chinese, "cjk\n");
  TechnicianPc pc(lab);

  ProcessResult run = pc.run({"2"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(readText(lab.devicePath("opt/CalFile/" + german)), "umlaut\n");
  EXPECT_EQ(readText(lab.devicePath("opt/CalFile/" + chinese)), "cjk\n");
}

TEST_F(WineScenario, CalibrationSetWithNamesWindowsWouldMisplaceInstallsNothing) {
  // Device names (with an extension too), a stream name and a name Windows would strip: any one
  // of them keeps the whole set from the unit, as on Linux.
  const std::vector<std::string> special{"CON", "aux.cal", "Lpt1.cfg", "gain.cal:hidden", "gain."};
  const std::string advice =
      "Have " + std::string(kU51Calibration).substr(0, std::string(kU51Calibration).size() - 1) +
      " on the package server hold the unit's calibration files themselves, each under a name "
      "that Linux and Windows both take (no \\ / : * ? \" < > |, not differing from another in "
      "case only) and none in a sub-folder, then start this run again\n";
  Lab lab(uniqueLabName("wine-special"), "zr");
  layOut(lab, {"device-zr", "--unit", "u51"});
  for (const std::string& name : special) writeText(lab.ftpRoot() + kU51Calibration + name, "x\n");
  TechnicianPc pc(lab);

  ProcessResult run = pc.run({"2"});
  EXPECT_EQ(run.status, 5) << run.err;
  EXPECT_EQ(run.err, advice);
  EXPECT_NE(run.out.find("\", which cannot be a file's name at every station (Linux and Windows); "
                         "none of the unit's calibration files was installed\n"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(folderNames(lab.devicePath("opt/CalFile")), std::vector<std::string>{});
}

TEST_F(WineScenario, ExecutableInAFolderWithBlanksAndNonAsciiName) {
  Lab lab(uniqueLabName("wine-folder"), "qm");
  layOut(lab, {"device-qm"});
  TechnicianPc pc(lab,
                  "Techniker PC & M\xc3\xbc"
                  "ller (2)");

  ProcessResult run = pc.run({"1"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(folderNames(pc.path("data")), kDataTree);
  EXPECT_EQ(
      folderNames(pc.path("data/lib")),
      (std::vector<std::string>{"DriverAndLib_LatestVersion.txt", "DriverAndLib_V1.2.0.zip"}));
  EXPECT_TRUE(folderNames(lab.devicePath("opt/Install_driverandlib")).size() > 0);

  // The run record beside the executable: Windows line ends, the folder's name intact.
  const std::string record = readText(pc.path("provision.log"));
  EXPECT_EQ(countOf(record, "\n"), countOf(record, "\r\n")) << record;
  EXPECT_NE(
      record.find("; folder: Z:" + std::regex_replace(pc.folder(), std::regex("/"), "\\") + "\r\n"),
      std::string::npos)
      << record;
  // So does the unit history, with the package that passed the check.
  const History history = readHistory(pc.path("provision-history.csv"));
  EXPECT_EQ(history.problem, "");
  ASSERT_EQ(history.rows.size(), 1u);
  expectRunColumns(history.rows.front(), 0.0);
  EXPECT_EQ(history.rows.front().at("mode"), "1");
  EXPECT_EQ(history.rows.front().at("package"), "DriverAndLib_V1.2.0.zip");
  EXPECT_EQ(history.rows.front().at("package_sha256"),
            sha256Of(lab.ftpRoot() + "/ProcessEquipment/Quorvex/DriverAndLib_V1.2.0.zip"));
  ProcessResult shown = pc.run({"--history"});
  EXPECT_EQ(shown.status, 0);
  EXPECT_NE(shown.out.find("  1     QM "), std::string::npos) << shown.out;
}

TEST_F(WineScenario, FailedRunWithAConsoleWindowOfItsOwnWaitsForEnter) {
  // Started on a terminal, a program under Wine gets a console of its own, as a double-click
  // gives it on Windows: GetConsoleProcessList reports 1. Through "cmd /c" it reports 3, and with
  // pipes for its output (as in every other test) 0. The terminal sends Enter as a carriage
  // return; here it comes five seconds in.
  Lab lab(uniqueLabName("wine-console"), "none");
  ASSERT_TRUE(lab.ok()) << lab.startError();
  TechnicianPc pc(lab);
  const std::string exe = pc.path("provision.exe");
  auto onTerminal = [&](const std::string& command) {
    ProcessResult result =
        lab.run({"sh", "-c", "(sleep 5; printf '\\r') | script -qec \"$0\" /dev/null", command},
                pc.folder(), 120);
    // What the terminal shows, without its control sequences (which also stand for the blanks).
    result.out = std::regex_replace(result.out, std::regex("\x1b\\[[0-9;?]*[A-Za-z]|\\s"), "");
    return result;
  };
  const std::string launcher = std::getenv("PROVISION_LAUNCHER");

  ProcessResult own = onTerminal(launcher + " " + exe + " 3");
  EXPECT_EQ(own.status, 1);
  // The line that says what to check, then the wait.
  EXPECT_TRUE(std::regex_match(own.out, std::regex("Thedeviceat[^ ]*rootpasswords.*"
                                                   "PressEntertoclosethiswindow\\.")))
      << own.out;
  ProcessResult shared = onTerminal(launcher + " cmd /c " + exe + " 3");
  EXPECT_EQ(shared.status, 1);
  EXPECT_EQ(shared.out.find("PressEnter"), std::string::npos) << shared.out;
  EXPECT_EQ(countOf(pc.record(), "] end: exit status 1 "), 2) << "both runs ran";

  // Windows' own help switch.
  ProcessResult help = pc.run({"/?"});
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(help.out.starts_with("Usage: provision ")) << help.out;
  EXPECT_EQ(help.out, pc.run({"--help"}).out);
}

}  // namespace
}  // namespace provision::test
