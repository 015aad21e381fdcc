// Mode 2 on a ZR unit from end to end: configuration tool, countdown, device check and calibration
// files, with the real executable against the lab.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <regex>
#include <thread>

#include "ftp/ftp_source.h"
#include "support/lab.h"
#include "support/scenario.h"

namespace provision::test {
namespace {

const std::string kClosingLines =
    " Successful installation \nThe program will exit after 5 seconds \n";

std::string countdown() {
  std::string text = "Please wait 30s\n";
  for (int second = 1; second <= 30; ++second)
    text += "\rIt's been waiting for " + std::to_string(second) + "s";
  return text + "\n";
}

struct Unit {
  const char* name;
  const char* uid;
  const char* modelCode;
  const char* boardName;
  const char* label;
};
const Unit kUnit51{"u51", "7F3A90C1", "51", "K700MB", "K700_R5_V3(051)"};
const Unit kUnit12{"u12", "A1B2C3D4", "12", "ZRMB-A", "ZRMB-A(012)"};
// The calibration file of each unit whose name has blanks and a letter beyond ASCII.
const char* const kChannelGain = "Verst\xc3\xa4rkung Kanal 1.cal";

class PackageUpdate : public testing::Test {
 protected:
  void layOut(const Unit& unit) {
    ASSERT_TRUE(lab_.ok()) << lab_.startError();
    ASSERT_EQ(lab_.fixture({"packages"}).status, 0);
    ASSERT_EQ(lab_.fixture({"device-zr", "--unit", unit.name}).status, 0);
    ASSERT_EQ(lab_.device("pgrep -x Lumora4").status, 0) << "the unit's service should run";
  }

  // The unit's folder on the package server, without a "/" at its end.
  static std::string unitFolder(const Unit& unit) {
    return std::string("/DeviceDataBase/") + unit.label + "/" + unit.uid;
  }

  std::string toolPackage(const std::string& variant) const {
    return "ZRConfig_" + variant + "_V2.0.zip";
  }

  // Everything a successful run prints, uploads of `calibrationUploads` files included.
  std::string successfulOutput(const Unit& unit, const std::string& variant,
                               int calibrationUploads) const {
    const std::string package = toolPackage(variant);
    std::string out = "ZR\n" + package + "\n" +
                      expectedProgress(fileSize(lab_.ftpRoot() + "/ProcessEquipment/ZRConfig/55/" +
                                                variant + "/" + package)) +
                      "\n[T] : [INFO] Start install ZRConfig \n" + countdown() +
                      "Query Calibration File\n"
                      "[T] : [INFO]This is check attempt number 0\n"
                      "[T] : [INFO]ZR connection Success\n"
                      "[T] : [INFO]Device UID : " +
                      unit.uid + "\n[T] : [INFO]Device Model : " + unit.modelCode +
                      "\n[T] : [INFO]Device Model : " + unit.boardName + "\nCal_20261101\n\n";
    // Calibration files are small: each upload is one chunk.
    for (int i = 0; i < calibrationUploads; ++i) out += "\n\rsent: 100.00%\n";
    return out + "\n[T] : [INFO]zr installed successfully\n" + kClosingLines;
  }

  void expectInstalledTool(const std::string& variant) const {
    const std::string evidence = readText(lab_.devicePath("var/log/lab-evidence.log"));
    const std::string folder = "ZRConfig_" + variant + "_V2.0";
    EXPECT_NE(evidence.find(folder + "/install.sh tqowmb /home/tqowmb/" + folder),
              std::string::npos)
        << evidence;
    EXPECT_NE(evidence.find("ZR_FixCalFile.sh root"), std::string::npos) << evidence;
    // The unpacked tool is cleaned away after the calibration step.
    for (const std::string& name : folderNames(lab_.devicePath("home/tqowmb")))
      EXPECT_EQ(name.find("ZRConfig"), std::string::npos) << name;
    EXPECT_NE(lab_.device("pgrep -x Lumora4").status, 0) << "the unit's service was stopped";
  }

  Lab lab_{uniqueLabName("zr-mode2"), "zr"};
  TechnicianPc pc_{lab_};
};

TEST_F(PackageUpdate, FullRunOnUnitWithTheFixedModelLabel) {
  layOut(kUnit51);
  ProcessResult run = pc_.run({});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(maskTimestamps(run.out), successfulOutput(kUnit51, "CN", 6));
  EXPECT_GE(run.seconds, 35.0);
  EXPECT_LT(run.seconds, 150.0);

  // No raw data, no calibration log; the ConfigFile copy of shared.ini wins over the calibration
  // folder's.
  EXPECT_EQ(folderNames(lab_.devicePath("opt/CalFile")),
            (std::vector<std::string>{"NOTES.TDMS", kChannelGain, "device.json", "gain.cal",
                                      "offset.cfg", "shared.ini"}));
  EXPECT_EQ(readText(lab_.devicePath(std::string("opt/CalFile/") + kChannelGain)),
            readText(lab_.ftpRoot() + "/DeviceDataBase/K700_R5_V3(051)/7F3A90C1/Cal_20261101/" +
                     kChannelGain));
  EXPECT_NE(readText(lab_.devicePath("opt/CalFile/shared.ini")).find("source=configfile"),
            std::string::npos);
  EXPECT_EQ(
      readText(lab_.devicePath("opt/CalFile/gain.cal")),
      readText(lab_.ftpRoot() + "/DeviceDataBase/K700_R5_V3(051)/7F3A90C1/Cal_20261101/gain.cal"));
  expectInstalledTool("CN");
  EXPECT_TRUE(folderNames(pc_.path("data/CalFile")).empty());
  EXPECT_EQ(folderNames(pc_.path("data/ZR/CN")),
            (std::vector<std::string>{"ZRConfig_CN_V2.0.zip", "ZRConfig_LatestVersion.txt"}));

  // The record: what was installed on which unit, each upload with its size, and the outcome.
  const std::string record = pc_.record();
  const std::string tool = toolPackage("CN");
  for (const std::string& text : std::vector<std::string>{
           "] device line: ZR\n", "] package server: online\n", "] package: " + tool + "\n",
           "] unit: UID 7F3A90C1, model code 51, model label K700_R5_V3(051)\n",
           tool + " to /home/tqowmb/" + tool + ", " +
               std::to_string(fileSize(pc_.path("data/ZR/CN/" + tool))) + " bytes: done\n",
           "] end: exit status 0 (success), "})
    EXPECT_NE(record.find(text), std::string::npos) << text << "\n" << record;
  EXPECT_TRUE(std::regex_search(
      record, std::regex(R"(\] log: \[\d{4}:[\d: ]+\] : \[INFO\]zr installed successfully\n)")))
      << record;
  for (const std::string& name : folderNames(lab_.devicePath("opt/CalFile"))) {
    const std::string upload = name + " to /opt/CalFile/" + name + ", " +
                               std::to_string(fileSize(lab_.devicePath("opt/CalFile/" + name))) +
                               " bytes: done\n";
    EXPECT_EQ(countOf(record, upload), 1) << upload << "\n" << record;
  }
  EXPECT_EQ(countOf(record, "] upload: "), 7) << record;
  EXPECT_EQ(countOf(record, "sent: "), 0) << "no progress text";
}

TEST_F(PackageUpdate, VariantAndCalibrationSubfolderOnUnitLabelledByBoardName) {
  layOut(kUnit12);
  ProcessResult run = pc_.run({"2", "EU", "Alt"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(maskTimestamps(run.out), successfulOutput(kUnit12, "EU", 6));
  EXPECT_EQ(folderNames(lab_.devicePath("opt/CalFile")),
            (std::vector<std::string>{"NOTES.TDMS", kChannelGain, "alt.json", "gain.cal",
                                      "offset.cfg", "shared.ini"}));
  EXPECT_NE(readText(lab_.devicePath("opt/CalFile/alt.json")).find("A1B2C3D4"), std::string::npos);
  expectInstalledTool("EU");
  EXPECT_EQ(folderNames(pc_.path("data/ZR")), (std::vector<std::string>{"EU"}));
}

TEST_F(PackageUpdate, UnitThatRestartsAfterTheToolsInstallIsWaitedFor) {
  layOut(kUnit51);
  // From the tool's unpack on, the unit refuses connections until 20 s after the countdown.
  ASSERT_TRUE(lab_.refuseSshAfter(1, "/home/tqowmb/ZRConfig_CN_V2.0/install.sh", 30 + 20));
  ProcessResult run = pc_.run({});
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  const std::string out = maskTimestamps(run.out);
  EXPECT_NE(out.find("Query Calibration File\n"
                     "[T] : [INFO]This is check attempt number 0\n"
                     "[T] : [INFO]ZR connection failed, retry connection\n"
                     "[T] : [INFO]This is check attempt number 1\n"
                     "[T] : [INFO]ZR connection Success\n"),
            std::string::npos)
      << out;
  EXPECT_TRUE(out.ends_with("[T] : [INFO]zr installed successfully\n" + kClosingLines)) << out;
  EXPECT_GE(run.seconds, 30.0 + 30.0);
  EXPECT_EQ(folderNames(lab_.devicePath("opt/CalFile")).size(), 6u);
}

TEST_F(PackageUpdate, UnitThatNeverComesBackAfterTheToolsInstallFailsWithTheLinksStatus) {
  layOut(kUnit51);
  std::thread unplug([this] {
    std::this_thread::sleep_for(std::chrono::seconds(15));
    lab_.unplugDevice();
  });
  ProcessResult run = pc_.run({});
  unplug.join();

  EXPECT_EQ(run.status, 256 - 4);
  const std::string out = maskTimestamps(run.out);
  std::string attempts;
  for (int n = 0; n < 3; ++n)
    attempts += "[T] : [INFO]This is check attempt number " + std::to_string(n) +
                "\n[T] : [INFO]ZR connection failed, retry connection\n";
  EXPECT_TRUE(out.ends_with(countdown() + "Query Calibration File\n" + attempts +
                            "[T] : [ERROR]The unit did not answer after the configuration tool's "
                            "install (3 attempts over 60 s, status -4): none of its calibration "
                            "files was installed\nFailed to query calibration file\n"))
      << out;
  // The attempts were spread over a minute after the countdown, and nothing was fetched.
  EXPECT_GE(run.seconds, 30.0 + 60.0);
  EXPECT_EQ(lab_.ftpLog().find("DeviceDataBase"), std::string::npos) << lab_.ftpLog();
  EXPECT_NE(run.err.find("did not answer after the configuration tool's install"),
            std::string::npos)
      << run.err;
}

TEST_F(PackageUpdate, ReportsThatNameNoUnitFetchNothingAndInstallNoCalibration) {
  layOut(kUnit12);
  // Calibration data above and outside the unit folders, which no run may take for a unit's.
  writeText(lab_.ftpRoot() + "/Elsewhere/Cal_LatestFileLog.txt", "Cal_X\n");
  writeText(lab_.ftpRoot() + "/Elsewhere/Cal_X/foreign.cal", "not this unit's\n");
  writeText(lab_.ftpRoot() + "/DeviceDataBase/ZRMB-A(012)/Cal_LatestFileLog.txt", "Cal_X\n");
  writeText(lab_.ftpRoot() + "/DeviceDataBase/ZRMB-A(012)/Cal_X/label.cal", "any unit's\n");
  const struct {
    const char* what;
    const char* report;
    const char* line;
  } rows[] = {
      {"a model code that would run a command, and a UID that leads out of /DeviceDataBase",
       "Board : ZRMB-A 12\nDeviceUID : ../../Elsewhere\nModel : 12;touch${IFS}injected\n",
       "[T] : [INFO]Device Model : 12;touch${IFS}injected\n"
       "[T] : [ERROR]The unit's calibration cannot be found: the device's UID ../../Elsewhere or "
       "model label 12;touch${IFS}injected(012;touch${IFS}injected) cannot name one folder on the "
       "package server; none of its calibration files was fetched or installed\n"},
      {"a report without DeviceUID", "Board : ZRMB-A 12\nModel : 12\n",
       "[T] : [INFO]Device UID : \n"},
  };
  int pc = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    writeText(lab_.devicePath("opt/sys.log"), row.report);
    TechnicianPc technician(lab_, "pc" + std::to_string(++pc));
    ProcessResult run = technician.run({});
    EXPECT_EQ(run.status, 5);
    const std::string out = maskTimestamps(run.out);
    EXPECT_NE(out.find(row.line), std::string::npos) << out;
    EXPECT_TRUE(
        out.ends_with("; none of its calibration files was fetched or installed\n"
                      "Failed to query calibration file\n"))
        << out;
    EXPECT_EQ(lab_.device("test -e /root/injected").status, 1) << "the model code ran a command";
    EXPECT_TRUE(folderNames(lab_.devicePath("opt/CalFile")).empty());
    EXPECT_EQ(lab_.ftpLog().find("DeviceDataBase"), std::string::npos) << lab_.ftpLog();
    EXPECT_EQ(lab_.ftpLog().find("Elsewhere"), std::string::npos);
  }
}

TEST_F(PackageUpdate, NamesFromOutsideReachTheDeviceAsOneWordAndNotepadFilesRead) {
  layOut(kUnit51);
  const std::string tool = "Pkg_V1.zip;touch injected;.zip";
  ASSERT_EQ(lab_.fixture({"packages", "--package-name", tool}).status, 0);
  const std::string unit = unitFolder(kUnit51);
  writeText(lab_.ftpRoot() + unit + "/Cal_LatestFileLog.txt",
            "\xEF\xBB\xBF"
            "Cal_20261101\r\nCal_20261015\r\n");

  ProcessResult run = pc_.run({"2", "CN", "Alx"});  // a mistyped sub-folder
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  const std::string out = maskTimestamps(run.out);
  EXPECT_NE(out.find("\nCal_20261101\n"), std::string::npos) << out;
  EXPECT_NE(out.find("[T] : [WARING]The configuration-file folder " + unit +
                     "/ConfigFile/Alx is not on the package server; the run goes on without it\n"),
            std::string::npos)
      << out;
  EXPECT_TRUE(out.ends_with(kClosingLines)) << out;
  EXPECT_EQ(folderNames(lab_.devicePath("opt/CalFile")),
            (std::vector<std::string>{"NOTES.TDMS", kChannelGain, "gain.cal", "offset.cfg",
                                      "shared.ini"}));
  EXPECT_EQ(lab_.device("test -e /home/tqowmb/injected").status, 1) << "the name ran a command";
  expectInstalledTool("CN");
  EXPECT_NE(pc_.record().find("command: as tqowmb: unzip -o /home/tqowmb/'" + tool +
                              "' -d /home/tqowmb/ : exit status 0"),
            std::string::npos)
      << pc_.record();
}

TEST_F(PackageUpdate, SecondRunInTheSameFolderIsRefusedAndTheFirstGoesOnAsIfAlone) {
  layOut(kUnit51);
  std::atomic<bool> firstEnded = false;
  ProcessResult first;
  std::thread running([&] {
    first = pc_.run({});
    firstEnded = true;
  });
  // The first run has installed the tool and counts down.
  for (int i = 0; i < 600 && pc_.record().find("Start install ZRConfig") == std::string::npos; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const int connections = countOf(lab_.sshdLog(), "Connection from");
  ProcessResult second = pc_.run({});
  const bool refusedWhileTheFirstRan = !firstEnded;
  const int connectionsOfTheSecond = countOf(lab_.sshdLog(), "Connection from") - connections;
  running.join();

  EXPECT_TRUE(refusedWhileTheFirstRan) << "the second run should end at once";
  EXPECT_EQ(second.status, 75) << second.out << second.err;
  EXPECT_EQ(second.out, "");
  const std::string record = pc_.record();
  std::smatch firstStart;
  ASSERT_TRUE(std::regex_search(
      record, firstStart, std::regex(R"((\d{4}-\d\d-\d\d \d\d:\d\d:\d\d) \[(\d+)\] start:)")));
  EXPECT_EQ(second.err, "Another run of provision is using this folder (process " +
                            firstStart[2].str() + ", started " + firstStart[1].str() +
                            "); wait until it has ended, then start this run again\n");
  EXPECT_EQ(connectionsOfTheSecond, 0) << "the second run reached the device";
  EXPECT_NE(record.find("] end: exit status 75 (another run was using this folder"),
            std::string::npos)
      << record;

  EXPECT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(maskTimestamps(first.out), successfulOutput(kUnit51, "CN", 6));
  EXPECT_EQ(folderNames(lab_.devicePath("opt/CalFile")).size(), 6u);
}

TEST_F(PackageUpdate, FailedToolUploadStillSyncsCalibrationButFailsTheRun) {
  layOut(kUnit51);
  ASSERT_EQ(lab_.device("mount -t tmpfs -o size=16k,mode=1777 tmpfs /home/tqowmb").status, 0);
  ProcessResult run = pc_.run({});
  EXPECT_EQ(run.status, 256 - 14);
  const std::string out = maskTimestamps(run.out);
  EXPECT_NE(
      out.find("[T] : [ERROR]Failed to install the configuration tool, status -14\n" + countdown()),
      std::string::npos)
      << out;
  EXPECT_TRUE(
      out.ends_with("\n[T] : [ERROR]The unit's calibration files were installed, but its "
                    "configuration tool was not (status -14)\n"))
      << out;
  EXPECT_EQ(out.find("zr installed successfully"), std::string::npos) << out;
  EXPECT_EQ(folderNames(lab_.devicePath("opt/CalFile")).size(), 6u);
}

TEST_F(PackageUpdate, CalibrationFilesLeftByAnOfflineRunAreUploadedAndKept) {
  layOut(kUnit51);
  ASSERT_TRUE(lab_.ftpDown());
  // What an earlier run left: the tool package with its pointer file and calibration files.
  const std::string tool = "/ProcessEquipment/ZRConfig/55/CN/";
  writeText(pc_.path("data/ZR/CN/ZRConfig_LatestVersion.txt"), toolPackage("CN"));
  writeText(pc_.path("data/ZR/CN/" + toolPackage("CN")),
            readText(lab_.ftpRoot() + tool + toolPackage("CN")));
  writeText(pc_.path("data/CalFile/gain.cal"), "gain offline\n");
  writeText(pc_.path("data/CalFile/raw.tdms"), "raw\n");

  ProcessResult run = pc_.run({});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(folderNames(lab_.devicePath("opt/CalFile")), (std::vector<std::string>{"gain.cal"}));
  EXPECT_EQ(readText(lab_.devicePath("opt/CalFile/gain.cal")), "gain offline\n");
  EXPECT_EQ(folderNames(pc_.path("data/CalFile")),
            (std::vector<std::string>{"gain.cal", "raw.tdms"}));
  expectInstalledTool("CN");
}

TEST_F(PackageUpdate, FailingFixUpScriptFailsTheCalibrationStep) {
  layOut(kUnit51);
  ASSERT_EQ(lab_.fixture({"device-zr", "--unit", kUnit51.name, "--fix-exit", "4"}).status, 0);
  ProcessResult run = pc_.run({});
  EXPECT_EQ(run.status, 3);
  const std::string out = maskTimestamps(run.out);
  EXPECT_TRUE(
      out.ends_with("[T] : [ERROR]The device could not put the unit's calibration into "
                    "effect: sh /opt/QMServer/shell/ZR_FixCalFile.sh ended with exit "
                    "status 4\n\nFailed to query calibration file\n"))
      << out;
  EXPECT_EQ(out.find("zr installed successfully"), std::string::npos) << out;
}

// A unit's calibration files arrive whole or not at all, whatever happens to the package server.
class PackageUpdateStall : public PackageUpdate {
 protected:
  std::string calibrationFile(const std::string& name) const {
    return unitFolder(kUnit51) + "/Cal_20261101/" + name;
  }
  // The set an earlier run installed on the device.
  void installEarlierSet() {
    writeText(lab_.devicePath("opt/CalFile/gain.cal"), "earlier gain\n");
    writeText(lab_.devicePath("opt/CalFile/device.json"), "earlier device\n");
  }
  // /opt/CalFile holds that set as it was and nothing else, but for files that arrived under a
  // temporary name when `arrivalsLeft` (a link given up cannot remove them).
  void expectEarlierSetOnly(bool arrivalsLeft = false) const {
    std::vector<std::string> names = folderNames(lab_.devicePath("opt/CalFile"));
    if (arrivalsLeft) std::erase_if(names, isPartialDownloadName);
    EXPECT_EQ(names, (std::vector<std::string>{"device.json", "gain.cal"}));
    EXPECT_EQ(readText(lab_.devicePath("opt/CalFile/gain.cal")), "earlier gain\n");
  }
};

TEST_F(PackageUpdateStall, CalibrationFileThatCannotBeFetchedInstallsNoneOfTheSet) {
  layOut(kUnit51);
  installEarlierSet();
  ASSERT_TRUE(lab_.ftpFault({"drop-after", "10", calibrationFile("offset.cfg")}));
  ProcessResult run = pc_.run({});
  EXPECT_EQ(run.status, 1);
  const std::string out = maskTimestamps(run.out);
  EXPECT_TRUE(out.ends_with("[T] : [ERROR]Failed to fetch " + calibrationFile("offset.cfg") +
                            ": none of the unit's calibration files was installed\n"
                            "Failed to query calibration file\n"))
      << out;
  EXPECT_EQ(out.find("zr installed successfully"), std::string::npos) << out;
  expectEarlierSetOnly();
  // Nothing of the set stays behind for a later offline run.
  EXPECT_EQ(folderNames(pc_.path("data/CalFile")),
            (std::vector<std::string>{"Cal_LatestFileLog.txt"}));
}

TEST_F(PackageUpdateStall, DeviceThatStopsAnsweringMidSetKeepsItsEarlierSet) {
  layOut(kUnit51);
  installEarlierSet();
  // A file large enough that the device stops answering in the middle of the set.
  writeText(lab_.ftpRoot() + calibrationFile("large.cal"), patterned(16 * 1024 * 1024));
  ASSERT_TRUE(lab_.hangDeviceAfter(1024 * 1024, "/opt/CalFile/.provision-*.part"));
  ProcessResult cut = pc_.run({});
  EXPECT_EQ(cut.status, 256 - 15);
  const std::string out = maskTimestamps(cut.out);
  EXPECT_NE(out.find("[T] : [ERROR]The device stopped answering during the upload of large.cal "
                     "(no reply for 30 s)\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("[T] : [ERROR]Failed to upload the unit's calibration files, status -15: "
                     "none of them was installed, and /opt/CalFile/ on the device is as it was\n"),
            std::string::npos)
      << out;
  EXPECT_TRUE(out.ends_with("Failed to query calibration file\n")) << out;
  expectEarlierSetOnly(true);

  // The next run removes what the cut-off one left and installs the whole new set, only it.
  ASSERT_TRUE(lab_.resume("device"));
  ASSERT_EQ(lab_.fixture({"device-zr", "--unit", kUnit51.name}).status, 0);
  ProcessResult next = pc_.run({});
  EXPECT_EQ(next.status, 0) << next.out;
  EXPECT_EQ(folderNames(lab_.devicePath("opt/CalFile")),
            (std::vector<std::string>{"NOTES.TDMS", kChannelGain, "device.json", "gain.cal",
                                      "large.cal", "offset.cfg", "shared.ini"}));
  EXPECT_TRUE(readText(lab_.devicePath("opt/CalFile/large.cal")) == patterned(16 * 1024 * 1024));
}

TEST_F(PackageUpdateStall, CalibrationFolderThatIsNotThereInstallsNothing) {
  layOut(kUnit51);
  installEarlierSet();
  const std::string unit = unitFolder(kUnit51);
  writeText(lab_.ftpRoot() + unit + "/Cal_LatestFileLog.txt", "Cal_20261201\n");
  ProcessResult run = pc_.run({});
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(maskTimestamps(run.out).ends_with(
      "[T] : [ERROR]Failed to fetch " + unit +
      "/Cal_20261201: none of the unit's calibration files was installed\n"
      "Failed to query calibration file\n"))
      << run.out;
  expectEarlierSetOnly();
}

TEST_F(PackageUpdateStall, RunKilledDuringACalibrationDownloadLeavesNothingALaterRunUses) {
  layOut(kUnit51);
  installEarlierSet();
  // The package server stops in the middle of a calibration file; the run waits for it, and is
  // killed meanwhile (the window closed, the power gone).
  ASSERT_TRUE(lab_.ftpFault({"stop-after", "10", calibrationFile("gain.cal")}));
  ProcessResult killed = pc_.run({}, 50);
  ASSERT_TRUE(killed.timedOut) << killed.out;
  const std::vector<std::string> left = folderNames(pc_.path("data/CalFile"));
  ASSERT_TRUE(std::any_of(left.begin(), left.end(), isPartialDownloadName))
      << "the run should have been killed during the download";

  // Offline, the data folder holds no calibration files for the unit: the tool is installed, the
  // calibration step fails and says that it needs the package server.
  ASSERT_TRUE(lab_.ftpDown());
  ProcessResult offline = pc_.run({});
  EXPECT_EQ(offline.status, 5) << offline.err;
  const std::string out = maskTimestamps(offline.out);
  EXPECT_TRUE(std::regex_search(
      out, std::regex(R"(\[T\] : \[ERROR\]No calibration files for this unit are in .*CalFile: )"
                      R"(none was installed, and the unit's calibration needs the package server\n)"
                      R"(Failed to query calibration file\n$)")))
      << out;
  EXPECT_EQ(out.find("zr installed successfully"), std::string::npos) << out;
  expectEarlierSetOnly();
  EXPECT_EQ(folderNames(pc_.path("data/CalFile")),
            (std::vector<std::string>{"Cal_LatestFileLog.txt"}));
  EXPECT_NE(
      readText(lab_.devicePath("var/log/lab-evidence.log")).find("ZRConfig_CN_V2.0/install.sh"),
      std::string::npos);
}

// A set fetched for one unit never reaches another: a run cut off after the fetch leaves the set
// behind, and the next unit, offline, gets nothing of it.
TEST_F(PackageUpdateStall, SetLeftByACutOffRunReachesNoOtherUnit) {
  layOut(kUnit51);
  writeText(lab_.ftpRoot() + calibrationFile("large.cal"), patterned(16 * 1024 * 1024));
  ASSERT_TRUE(lab_.hangDeviceAfter(1024 * 1024, "/opt/CalFile/.provision-*.part"));
  // The window is closed while the device hangs in the middle of the set.
  ProcessResult cut = pc_.run({}, 52);
  ASSERT_TRUE(cut.timedOut) << cut.out;
  ASSERT_NE(cut.out.find("Cal_20261101"), std::string::npos) << "the set should have been fetched";
  std::vector<std::string> left = folderNames(pc_.path("data/CalFile"));
  ASSERT_TRUE(std::find(left.begin(), left.end(), "large.cal") != left.end());

  ASSERT_TRUE(lab_.resume("device"));
  ASSERT_EQ(lab_.device("rm -f /opt/CalFile/.provision-*").status, 0);
  ASSERT_EQ(lab_.fixture({"device-zr", "--unit", kUnit12.name}).status, 0);
  ASSERT_TRUE(lab_.ftpDown());
  ProcessResult offline = pc_.run({});
  EXPECT_EQ(offline.status, 5) << offline.err;
  const std::string out = maskTimestamps(offline.out);
  EXPECT_NE(out.find(std::string("were fetched for the unit with UID ") + kUnit51.uid +
                     " and model label " + kUnit51.label +
                     ", not for this one: none of them was uploaded, and this unit's "
                     "calibration needs the package server\nFailed to query calibration file\n"),
            std::string::npos)
      << out;
  EXPECT_TRUE(folderNames(lab_.devicePath("opt/CalFile")).empty());
  // The configuration tool was installed all the same.
  EXPECT_NE(
      readText(lab_.devicePath("var/log/lab-evidence.log")).find("ZRConfig_CN_V2.0/install.sh"),
      std::string::npos);
}

}  // namespace
}  // namespace provision::test
