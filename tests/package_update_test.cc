// Mode 2 on a ZR unit from end to end: configuration tool, countdown, device check and calibration
// files, with the real executable against the lab.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <regex>
#include <thread>

#include "ftp/ftp_source.h"
#include "support/history.h"
#include "support/lab.h"
#include "support/scenario.h"
#include "workspace/partial_name.h"

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

// One run of a table of calibration cases: the row prepares the package server (and the PC), runs
// with its arguments and expects its status and the line that ends the run log.
struct CalibrationRow {
  const char* what;
  std::function<void(const TechnicianPc&)> prepare;
  std::vector<std::string> args;
  int status;
  std::function<std::string(const TechnicianPc&)> line;
};

class PackageUpdate : public testing::Test {
 protected:
  explicit PackageUpdate(const char* ssh = "openssh")
      : lab_(uniqueLabName("zr-mode2"), "zr", ssh) {}

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

  // The one row of the unit history: the unit, the tool that passed the check (the server's
  // copy), and the calibration set as the device holds it.
  void expectHistoryRow(const Unit& unit, const std::string& server,
                        const std::string& calibrationFolder, const std::string& exitStatus,
                        const std::string& packageCheck = "downloaded") const {
    const History history = readHistory(pc_.path("provision-history.csv"));
    EXPECT_EQ(history.problem, "");
    ASSERT_EQ(history.rows.size(), 1u);
    const HistoryRecord& row = history.rows.front();
    expectRunColumns(row, 30.0);
    const std::vector<std::string> set = folderNames(lab_.devicePath("opt/CalFile"));
    for (const auto& [column, value] : std::vector<std::pair<std::string, std::string>>{
             {"mode", "2"},
             {"variant", "CN"},
             {"device_line", "ZR"},
             {"uid", unit.uid},
             {"model_code", unit.modelCode},
             {"model_label", unit.label},
             {"package_server", server},
             {"package", toolPackage("CN")},
             {"package_sha256",
              sha256Of(lab_.ftpRoot() + "/ProcessEquipment/ZRConfig/55/CN/" + toolPackage("CN"))},
             {"calibration_folder", calibrationFolder},
             {"calibration_files", std::to_string(set.size())},
             {"calibration_sha256", setSha256Of(lab_.devicePath("opt/CalFile"), set)},
             {"exit_status", exitStatus},
             {"package_check", packageCheck},
             {"device_check", "sha256"}})
      EXPECT_EQ(row.at(column), value) << column;
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

  // Runs each row on a technician's PC of its own: nothing reaches the unit's /opt/CalFile, and
  // nothing of another unit's folder or an older calibration is fetched.
  void runCalibrationRows(const std::vector<CalibrationRow>& rows) {
    int pc = 0;
    for (const auto& row : rows) {
      SCOPED_TRACE(row.what);
      TechnicianPc technician(lab_, "pc" + std::to_string(++pc));
      row.prepare(technician);
      ProcessResult run = technician.run(row.args);
      EXPECT_EQ(run.status, row.status) << run.err;
      const std::string out = maskTimestamps(run.out);
      EXPECT_TRUE(out.ends_with(row.line(technician) + "Failed to query calibration file\n"))
          << out;
      EXPECT_TRUE(folderNames(lab_.devicePath("opt/CalFile")).empty());
      EXPECT_EQ(lab_.ftpLog().find("ZR51A00099"), std::string::npos) << "another unit's folder";
      EXPECT_EQ(lab_.ftpLog().find("Cal_20261015"), std::string::npos) << "an older calibration";
      EXPECT_EQ(run.err.find("run mode 1"), std::string::npos) << run.err;
    }
  }

  // The unit's log names the calibration folder Cal_Test, which holds `names` (with a "/" in a
  // name, a sub-folder and a file in it), each a text that names the unit.
  void publishSet(const std::vector<std::string>& names) const {
    const std::string folder = lab_.ftpRoot() + unitFolder(kUnit51);
    writeText(folder + "/Cal_LatestFileLog.txt", "Cal_Test\n");
    std::filesystem::remove_all(folder + "/Cal_Test");
    for (const std::string& name : names) writeText(folder + "/Cal_Test/" + name, kUnit51.uid);
  }
  // The line of a set that is not whole on the package server.
  static std::string incompleteSet(const std::string& where) {
    return std::string(
               "[T] : [ERROR]The package server holds no whole calibration set for this "
               "unit (UID ") +
           kUnit51.uid + "): " + where + "; none of the unit's calibration files was installed\n";
  }

  // The unit's log names a calibration folder of raw recordings only, and the configuration-file
  // sub-folder "Nested" holds only a folder.
  void publishRawRecordingsOnly(const Unit& unit) const {
    const std::string folder = lab_.ftpRoot() + unitFolder(unit);
    writeText(folder + "/Cal_LatestFileLog.txt", "Cal_Raw\n");
    writeText(folder + "/Cal_Raw/b.tdms.bak", "raw\n");
    writeText(folder + "/Cal_Raw/a.tdms", "raw\n");
    writeText(folder + "/ConfigFile/Nested/Deeper/x.json", "{}\n");
  }

  Lab lab_;
  TechnicianPc pc_{lab_};
};

TEST_F(PackageUpdate, FullRunOnUnitWithTheFixedModelLabel) {
  layOut(kUnit51);
  // A file of an earlier set, which the new set replaces whole.
  writeText(lab_.devicePath("opt/CalFile/gain_ch4.cal"), "earlier set\n");
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
  EXPECT_EQ(folderNames(lab_.devicePath("opt/CalFile.previous")),
            std::vector<std::string>{"gain_ch4.cal"});
  EXPECT_FALSE(std::ranges::any_of(folderNames(lab_.devicePath("opt")), isPartialDownloadName))
      << "no staging folder left";
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

  expectHistoryRow(kUnit51, "online", "Cal_20261101", "0");
  // --history shows the unit's row, whatever the case of the UID, and adds nothing to the record.
  ProcessResult shown = pc_.run({"--history", "7f3a90c1"});
  EXPECT_EQ(shown.status, 0);
  EXPECT_TRUE(std::regex_match(
      shown.out, std::regex("start +station +mode +device_line +uid +model_label +package_server +"
                            "package +calibration_folder +calibration_files +exit_status +"
                            "duration_s\n"
                            "[-+:T0-9]+ +[^ ]+ +2 +ZR +7F3A90C1 +K700_R5_V3\\(051\\) +online +"
                            "ZRConfig_CN_V2\\.0\\.zip +Cal_20261101 +6 +0 +[0-9.]+\n")))
      << shown.out;
  EXPECT_EQ(shown.out.find("uid"), shown.out.find("7F3A90C1") - shown.out.find('\n') - 1);
  EXPECT_EQ(pc_.record(), record);
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
      {"a report whose first line with the model code has no board name",
       "Board12\nDeviceUID : A1B2C3D4\nModel : 12\n",
       "[T] : [ERROR]The unit's calibration cannot be found: the device's report /opt/sys.log "
       "gives no board name for model code 12; none of its calibration files was fetched or "
       "installed\n"},
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

  ProcessResult run = pc_.run({"2", "CN", "Alt"});
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  const std::string out = maskTimestamps(run.out);
  EXPECT_NE(out.find("\nCal_20261101\n"), std::string::npos) << out;
  EXPECT_TRUE(out.ends_with(kClosingLines)) << out;
  EXPECT_EQ(folderNames(lab_.devicePath("opt/CalFile")),
            (std::vector<std::string>{"NOTES.TDMS", kChannelGain, "alt.json", "gain.cal",
                                      "offset.cfg", "shared.ini"}));
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

  // When the calibration fails too, the status still says that the tool was not installed.
  ASSERT_EQ(lab_.device("rm -f /opt/CalFile/*").status, 0);
  publishRawRecordingsOnly(kUnit51);
  TechnicianPc second(lab_, "pc2");
  ProcessResult both = second.run({"2", "CN", "Nested"});
  EXPECT_EQ(both.status, 256 - 14);
  EXPECT_TRUE(maskTimestamps(both.out).ends_with(
      "; none of the unit's calibration files was installed\nFailed to query calibration file\n"))
      << both.out;
  EXPECT_TRUE(folderNames(lab_.devicePath("opt/CalFile")).empty());
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
  // Offline, no calibration log named a folder.
  expectHistoryRow(kUnit51, "offline", "", "0", "offline copy");
}

// The unit gets its own calibration set from its own folder, or the step fails and says why;
// never another unit's files, never "installed" with nothing uploaded.
TEST_F(PackageUpdate, CalibrationThatIsNotTheUnitsOwnSetInstallsNothing) {
  layOut(kUnit51);
  const std::string unit = unitFolder(kUnit51);
  const std::string label = lab_.ftpRoot() + "/DeviceDataBase/" + kUnit51.label;
  writeText(label + "/ZR51A00099/Cal_20250301/foreign.cal", "another unit's\n");
  runCalibrationRows({
      {"a log copied from another unit's folder and edited",
       [&](const TechnicianPc&) {
         writeText(lab_.ftpRoot() + unit + "/Cal_LatestFileLog.txt",
                   "../ZR51A00099/Cal_20250301\n");
       },
       {},
       5,
       [&](const TechnicianPc&) {
         return "[T] : [ERROR]The calibration log " + unit +
                "/Cal_LatestFileLog.txt names \"../ZR51A00099/Cal_20250301\", which is not one "
                "folder inside the unit's folder: none of the unit's calibration files was "
                "installed\n";
       }},
      {"a log that cannot be fetched, and another unit's log left in the data folder",
       [&](const TechnicianPc& pc) {
         std::filesystem::remove(lab_.ftpRoot() + unit + "/Cal_LatestFileLog.txt");
         writeText(pc.path("data/CalFile/provision-unit.txt"),
                   std::string("UID ") + kUnit12.uid + "\nmodel label " + kUnit12.label + "\n");
         writeText(pc.path("data/CalFile/Cal_LatestFileLog.txt"), "Cal_20261015\n");
       },
       {},
       1,
       [&](const TechnicianPc&) {
         return "[T] : [ERROR]The calibration log " + unit +
                "/Cal_LatestFileLog.txt could not be fetched from the package server at "
                "192.168.10.1: it is not there (error 78); none of the unit's calibration files "
                "was installed\n";
       }},
      {"raw recordings only, and a configuration-file folder of folders",
       [&](const TechnicianPc&) { publishRawRecordingsOnly(kUnit51); },
       {"2", "CN", "Nested"},
       5,
       [&](const TechnicianPc&) {
         return "[T] : [ERROR]The package server holds no whole calibration set for this unit "
                "(UID 7F3A90C1): " +
                unit +
                "/Cal_Raw holds only raw recordings (a.tdms, b.tdms.bak), no calibration file; "
                "none of the unit's calibration files was installed\n";
       }},
  });
}

// A set of which any entry would be left out, or taken otherwise at another station, installs
// nothing: every entry is fetched or passed over by a stated rule.
TEST_F(PackageUpdate, CalibrationSetThatIsNotWholeInstallsNothing) {
  layOut(kUnit51);
  const std::string unit = unitFolder(kUnit51);
  runCalibrationRows({
      {"the set nested one level deeper",
       [&](const TechnicianPc&) {
         publishSet({"raw.tdms", "Deeper/gain.cal"});
       },
       {},
       5,
       [&](const TechnicianPc&) {
         return incompleteSet(unit +
                              "/Cal_Test holds a sub-folder, Deeper, whose files no unit "
                              "gets (a set's files lie in its folder itself)");
       }},
      {"a name with a backslash, as a Windows script writes it",
       [&](const TechnicianPc&) {
         publishSet({"gain.cal", "CH3\\gain.cal"});
       },
       {},
       5,
       [&](const TechnicianPc&) {
         return incompleteSet(unit +
                              "/Cal_Test holds \"CH3\\gain.cal\", which cannot be a "
                              "file's name at every station (Linux and Windows)");
       }},
      {"a name that Windows reserves, at a Linux station too",
       [&](const TechnicianPc&) {
         publishSet({"gain.cal", "AUX.cal"});
       },
       {},
       5,
       [&](const TechnicianPc&) {
         return incompleteSet(unit +
                              "/Cal_Test holds \"AUX.cal\", which cannot be a file's "
                              "name at every station (Linux and Windows)");
       }},
      {"two names of one file on Windows",
       [&](const TechnicianPc&) {
         publishSet({"gain.cal", "Gain.cal"});
       },
       {},
       5,
       [&](const TechnicianPc&) {
         return incompleteSet(unit +
                              "/Cal_Test holds two files whose names differ in case only, "
                              "Gain.cal and gain.cal, which would be one file on a Windows "
                              "station");
       }},
      {"a calibration sub-folder that the server spells otherwise",
       [&](const TechnicianPc&) { publishSet({"gain.cal"}); },
       {"2", "CN", "alt"},
       5,
       [&](const TechnicianPc&) {
         return "[T] : [ERROR]The calibration sub-folder \"alt\" is not in " + unit +
                "/ConfigFile/ on the package server, which holds the sub-folders Alt, Extra: "
                "none of the unit's calibration files was installed\n";
       }},
  });
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
  // The set went up and took its names before the script failed.
  expectHistoryRow(kUnit51, "online", "Cal_20261101", "3");
}

// The unit itself hashes what it received before anything takes effect: on a unit with OpenSSH
// and the machine's tools, and on one with Dropbear and BusyBox's.
class UnitHashing : public PackageUpdate, public testing::WithParamInterface<const char*> {
 protected:
  UnitHashing() : PackageUpdate(GetParam()) {}
};

TEST_P(UnitHashing, NothingTakesEffectThatTheUnitCouldNotHash) {
  layOut(kUnit51);
  writeText(lab_.devicePath("opt/CalFile/gain_ch4.cal"), "earlier set\n");
  ASSERT_TRUE(lab_.deviceTool({"hide", "sha256sum"}));
  ProcessResult unchecked = pc_.run({});
  EXPECT_EQ(unchecked.status, 3) << unchecked.err;
  const std::string out = maskTimestamps(unchecked.out);
  for (const std::string& line :
       {"[T] : [ERROR]The device could not install " + toolPackage("CN") +
            ": the unit has no sha256sum to check the unpacked files with\n",
        std::string("[T] : [ERROR]The unit's calibration files did not arrive as they were "
                    "sent: the unit has no sha256sum to check them with; none of them was "
                    "installed, and /opt/CalFile on the device is as it was\n")})
    EXPECT_NE(out.find(line), std::string::npos) << line << out;
  EXPECT_EQ(out.find("zr installed successfully"), std::string::npos) << out;
  const std::string evidence = readText(lab_.devicePath("var/log/lab-evidence.log"));
  EXPECT_EQ(evidence.find("install.sh tqowmb"), std::string::npos) << evidence;
  EXPECT_EQ(evidence.find("ZR_FixCalFile.sh"), std::string::npos) << evidence;
  EXPECT_EQ(folderNames(lab_.devicePath("opt/CalFile")), std::vector<std::string>{"gain_ch4.cal"});
  EXPECT_FALSE(std::filesystem::exists(lab_.devicePath("opt/CalFile.previous")));
  EXPECT_FALSE(std::ranges::any_of(folderNames(lab_.devicePath("opt")), isPartialDownloadName))
      << "no staging folder left";

  // With sha256sum back, the whole set takes the place of the earlier one, which is kept aside.
  ASSERT_TRUE(lab_.deviceTool({"clear"}));
  ProcessResult checked = pc_.run({});
  EXPECT_EQ(checked.status, 0) << checked.err;
  EXPECT_EQ(folderNames(lab_.devicePath("opt/CalFile")),
            (std::vector<std::string>{"NOTES.TDMS", kChannelGain, "device.json", "gain.cal",
                                      "offset.cfg", "shared.ini"}));
  EXPECT_EQ(folderNames(lab_.devicePath("opt/CalFile.previous")),
            std::vector<std::string>{"gain_ch4.cal"});
  expectInstalledTool("CN");
  const History history = readHistory(pc_.path("provision-history.csv"));
  ASSERT_EQ(history.rows.size(), 2u) << history.problem;
  EXPECT_EQ(history.rows[0].at("device_check"), "");
  EXPECT_EQ(history.rows[0].at("calibration_sha256"), "");
  EXPECT_EQ(history.rows[1].at("device_check"), "sha256");
  const std::vector<std::string> set = folderNames(lab_.devicePath("opt/CalFile"));
  EXPECT_EQ(history.rows[1].at("calibration_sha256"),
            setSha256Of(lab_.devicePath("opt/CalFile"), set));
}

INSTANTIATE_TEST_SUITE_P(BothDevices, UnitHashing, testing::Values("openssh", "dropbear"));

// A unit's calibration files arrive whole or not at all, whatever happens to the package server.
class PackageUpdateStall : public PackageUpdate {
 protected:
  // Where large.cal arrives on the device: the folder of its set, beside /opt/CalFile.
  static constexpr const char* kArrivingLarge = "/opt/.provision-*.part/large.cal";
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
  EXPECT_TRUE(std::regex_search(
      out, std::regex(R"(\[T\] : \[ERROR\]The calibration file [^\n]*/Cal_20261101/offset\.cfg )"
                      R"(could not be fetched from the package server at [0-9.]+: its transfer )"
                      R"(broke off before the whole file had arrived \(error (10|18)\); none of )"
                      R"(the unit's calibration files was installed\n\n)"
                      R"(Failed to query calibration file\n$)")))
      << out;
  EXPECT_EQ(out.find("zr installed successfully"), std::string::npos) << out;
  expectEarlierSetOnly();
  // Nothing of the set stays behind for a later offline run, not even its log.
  EXPECT_TRUE(folderNames(pc_.path("data/CalFile")).empty());
}

TEST_F(PackageUpdateStall, DeviceThatStopsAnsweringMidSetKeepsItsEarlierSet) {
  layOut(kUnit51);
  installEarlierSet();
  // A file large enough that the device stops answering in the middle of the set.
  writeText(lab_.ftpRoot() + calibrationFile("large.cal"), patterned(16 * 1024 * 1024));
  ASSERT_TRUE(lab_.hangDeviceAfter(1024 * 1024, kArrivingLarge));
  ProcessResult cut = pc_.run({});
  EXPECT_EQ(cut.status, 256 - 15);
  const std::string out = maskTimestamps(cut.out);
  EXPECT_NE(out.find("[T] : [ERROR]The device stopped answering during the upload of large.cal "
                     "(no reply for 30 s)\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("[T] : [ERROR]Failed to upload the unit's calibration files, status -15: "
                     "none of them was installed, and /opt/CalFile on the device is as it was\n"),
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

TEST_F(PackageUpdateStall, UnitThatDropsWhileItsReportIsReadEndsWithTheLinksStatus) {
  layOut(kUnit51);
  // Reading the report blocks (no one ever writes into it), and then the cable goes.
  ASSERT_EQ(lab_.device("rm /opt/sys.log && mkfifo /opt/sys.log").status, 0);
  std::atomic<bool> ended = false;
  std::thread cable([&] {
    while (!ended && pc_.record().find("ZR connection Success") == std::string::npos)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (!ended) lab_.powerOff();
  });
  ProcessResult run = pc_.run({});
  ended = true;
  cable.join();

  EXPECT_EQ(run.status, 256 - 15) << run.err;
  const std::string out = maskTimestamps(run.out);
  EXPECT_TRUE(std::regex_search(
      out, std::regex(R"(\[T\] : \[INFO\]ZR connection Success\n)"
                      R"(\[T\] : \[ERROR\]The device stopped answering during [^\n]*\n)"
                      R"(\[T\] : \[ERROR\]The unit did not answer while its report was read )"
                      R"(\(status -15\): none of its calibration files was installed\n)"
                      R"(Failed to query calibration file\n$)")))
      << out;
  EXPECT_NE(run.err.find("did not answer after the configuration tool's install"),
            std::string::npos)
      << run.err;
  EXPECT_EQ(run.err.find("run mode 1"), std::string::npos) << run.err;
  EXPECT_EQ(lab_.ftpLog().find("DeviceDataBase"), std::string::npos);
}

TEST_F(PackageUpdateStall, CalibrationFolderThatIsNotThereInstallsNothing) {
  layOut(kUnit51);
  installEarlierSet();
  const std::string unit = unitFolder(kUnit51);
  writeText(lab_.ftpRoot() + unit + "/Cal_LatestFileLog.txt", "Cal_20261201\n");
  ProcessResult run = pc_.run({});
  EXPECT_EQ(run.status, 5);
  EXPECT_TRUE(maskTimestamps(run.out).ends_with(
      "[T] : [ERROR]The calibration folder " + unit +
      "/Cal_20261201 that the unit's calibration log names is not on the package server: none "
      "of the unit's calibration files was installed\n"
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
  const std::vector<std::string> left = folderNames(pc_.path("data"));
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
  EXPECT_TRUE(folderNames(pc_.path("data/CalFile")).empty());
  EXPECT_NE(
      readText(lab_.devicePath("var/log/lab-evidence.log")).find("ZRConfig_CN_V2.0/install.sh"),
      std::string::npos);
}

// A set fetched for one unit never reaches another: a run cut off after the fetch leaves the set
// behind; the next unit gets nothing of it offline, and exactly its own set online.
TEST_F(PackageUpdateStall, SetLeftByACutOffRunReachesNoOtherUnit) {
  layOut(kUnit51);
  writeText(lab_.ftpRoot() + calibrationFile("large.cal"), patterned(16 * 1024 * 1024));
  ASSERT_TRUE(lab_.hangDeviceAfter(1024 * 1024, kArrivingLarge));
  // The window is closed while the device hangs in the middle of the set.
  ProcessResult cut = pc_.run({}, 52);
  ASSERT_TRUE(cut.timedOut) << cut.out;
  ASSERT_NE(cut.out.find("Cal_20261101"), std::string::npos) << "the set should have been fetched";
  std::vector<std::string> left = folderNames(pc_.path("data/CalFile"));
  ASSERT_TRUE(std::find(left.begin(), left.end(), "large.cal") != left.end());

  ASSERT_TRUE(lab_.resume("device"));
  ASSERT_EQ(lab_.device("rm -rf /opt/.provision-*").status, 0);
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

  ASSERT_TRUE(lab_.ftpUp());
  ASSERT_EQ(lab_.fixture({"device-zr", "--unit", kUnit12.name}).status, 0);
  ProcessResult online = pc_.run({});
  EXPECT_EQ(online.status, 0) << online.out << online.err;
  EXPECT_EQ(maskTimestamps(online.out), successfulOutput(kUnit12, "CN", 6));
  EXPECT_EQ(folderNames(lab_.devicePath("opt/CalFile")),
            (std::vector<std::string>{"NOTES.TDMS", kChannelGain, "device.json", "gain.cal",
                                      "offset.cfg", "shared.ini"}));
  for (const std::string& name : folderNames(lab_.devicePath("opt/CalFile")))
    EXPECT_NE(readText(lab_.devicePath("opt/CalFile/" + name)).find(kUnit12.uid), std::string::npos)
        << name;
}

}  // namespace
}  // namespace provision::test
