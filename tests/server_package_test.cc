// Mode 2 on a QM unit from end to end: the real executable against the lab.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <regex>
#include <sstream>
#include <vector>

#include "ftp/ftp_source.h"
#include "log/text.h"
#include "support/history.h"
#include "support/lab.h"
#include "support/scenario.h"
#include "support/zip_builder.h"
#include "workspace/partial_name.h"

namespace provision::test {
namespace {

constexpr const char* kServerFolder = "/ProcessEquipment/QMServer/55/";
constexpr const char* kPackage = "QMServer_V3.1.zip";
constexpr const char* kHistory = "provision-history.csv";
const std::string kClosingLines =
    " Successful installation \nThe program will exit after 5 seconds \n";

class ServerPackage : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(lab_.ok()) << lab_.startError();
    ASSERT_EQ(lab_.fixture({"packages"}).status, 0);
    ASSERT_EQ(lab_.fixture({"device-qm"}).status, 0);
  }
  std::string pointerPath() const {
    return lab_.ftpRoot() + kServerFolder + "QMServer_LatestVersion.txt";
  }
  // The installation an earlier run left on the device.
  void installEarlierPackage() const {
    writeText(lab_.devicePath("root/QMServer/install.sh"), "earlier\n");
  }
  // Root's home folder holds that installation as it was and nothing else, but for files that
  // arrived under a temporary name when `arrivalsLeft` (a link given up cannot remove them).
  void expectEarlierPackageOnly(bool arrivalsLeft = false) const {
    std::vector<std::string> names = folderNames(lab_.devicePath("root"));
    if (arrivalsLeft) std::erase_if(names, isPartialDownloadName);
    EXPECT_EQ(names, (std::vector<std::string>{"QMServer"}));
    EXPECT_EQ(readText(lab_.devicePath("root/QMServer/install.sh")), "earlier\n");
  }

  // What a successful run prints before the output of the device's commands.
  std::string head(const std::string& pointerEcho) const {
    return "QM\n" + pointerEcho +
           expectedProgress(fileSize(lab_.ftpRoot() + kServerFolder + kPackage)) + "\n";
  }

  Lab lab_{uniqueLabName("qm-mode2"), "qm"};
  TechnicianPc pc_{lab_};
};

TEST_F(ServerPackage, InstallsOnceDownloadsOnceAndWorksOffline) {
  writeText(lab_.devicePath("root/QMServer_old/x"), "old\n");

  ProcessResult first = pc_.run({});
  EXPECT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(first.err, "");
  EXPECT_TRUE(first.out.starts_with(head(std::string(kPackage) + "\n"))) << first.out;
  EXPECT_TRUE(first.out.ends_with("\n" + kClosingLines)) << first.out;
  EXPECT_NE(first.out.find("inflating: QMServer/install.sh"), std::string::npos) << first.out;
  EXPECT_GE(first.seconds, 5.0);
  EXPECT_EQ(folderNames(lab_.devicePath("root")), (std::vector<std::string>{"QMServer"}));
  EXPECT_NE(
      readText(lab_.devicePath("var/log/lab-evidence.log")).find("QMServer/install.sh root /root"),
      std::string::npos);
  EXPECT_EQ(folderNames(pc_.path("data/QM")),
            (std::vector<std::string>{"QMServer_LatestVersion.txt", kPackage}));
  const int downloadsAfterFirst = countOf(lab_.ftpLog(), "<- RETR ");

  // The package is local now and matches the server's in size: the second run fetches only the
  // pointer file.
  ProcessResult second = pc_.run({});
  EXPECT_EQ(second.status, 0) << second.err;
  EXPECT_EQ(countOf(lab_.ftpLog(), "<- RETR ") - downloadsAfterFirst, 1) << lab_.ftpLog();

  ASSERT_TRUE(lab_.ftpDown());
  ProcessResult offline = pc_.run({});
  EXPECT_EQ(offline.status, 0) << offline.err;
  EXPECT_TRUE(std::regex_match(offline.err, serverDownAtStartUp())) << offline.err;
  EXPECT_TRUE(offline.out.starts_with(head(std::string(kPackage) + "\n"))) << offline.out;
  EXPECT_TRUE(offline.out.ends_with(kClosingLines));

  // A row for each run, naming the package that went up and its SHA-256, the server's copy's.
  const History history = readHistory(pc_.path(kHistory));
  EXPECT_EQ(history.problem, "");
  ASSERT_EQ(history.rows.size(), 3u);
  const std::string digest = sha256Of(lab_.ftpRoot() + kServerFolder + kPackage);
  const char* servers[] = {"online", "online", "offline"};
  const char* checks[] = {"downloaded", "size and time", "offline copy"};
  // Each row was written before the closing wait, which the record's end line counts.
  const std::string record = pc_.record();
  const std::regex endLine(R"(\] end: exit status 0 \(success\), (\d+\.\d) s\n)");
  auto end = std::sregex_iterator(record.begin(), record.end(), endLine);
  for (std::size_t i = 0; i < history.rows.size(); ++i, ++end) {
    const HistoryRecord& row = history.rows[i];
    expectRunColumns(row, 0.0);
    ASSERT_NE(end, std::sregex_iterator()) << record;
    EXPECT_GE(std::stod((*end)[1].str()) - std::stod(row.at("duration_s")), 4.9);
    for (const auto& [column, value] :
         std::vector<std::pair<std::string, std::string>>{{"mode", "2"},
                                                          {"variant", "CN"},
                                                          {"calibration_subfolder", ""},
                                                          {"device_line", "QM"},
                                                          {"uid", ""},
                                                          {"model_label", ""},
                                                          {"package_server", servers[i]},
                                                          {"package", kPackage},
                                                          {"package_sha256", digest},
                                                          {"calibration_folder", ""},
                                                          {"calibration_files", ""},
                                                          {"calibration_sha256", ""},
                                                          {"exit_status", "0"},
                                                          {"meaning", "success"},
                                                          {"package_check", checks[i]},
                                                          {"device_check", "sha256"}})
      EXPECT_EQ(row.at(column), value) << i << " " << column;
  }
}

TEST_F(ServerPackage, EveryPointerLineIsEchoedAndTheLastNamesThePackage) {
  writeText(pointerPath(), std::string("QMServer_V3.0.zip\n") + kPackage);
  ProcessResult run = pc_.run({});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(run.out.starts_with(head("QMServer_V3.0.zip\n" + std::string(kPackage) + "\n")))
      << run.out;
  EXPECT_EQ(folderNames(lab_.devicePath("root")), (std::vector<std::string>{"QMServer"}));
}

TEST_F(ServerPackage, PointerEndingWithALineBreakNamesNoPackageAndTheRunFails) {
  writeText(pointerPath(), std::string(kPackage) + "\n");
  ProcessResult run = pc_.run({});
  EXPECT_NE(run.status, 0);
  EXPECT_TRUE(run.out.starts_with("QM\n" + std::string(kPackage) + "\n")) << run.out;
  EXPECT_EQ(run.out.find("Successful installation"), std::string::npos) << run.out;
  EXPECT_NE(
      maskTimestamps(run.out).find("[T] : [ERROR]Failed to install the server package, status "),
      std::string::npos)
      << run.out;
  EXPECT_TRUE(folderNames(lab_.devicePath("root")).empty());
}

// What the package server hands out, and what the run must make of it on the device.
TEST_F(ServerPackage, WhatTheRunReportsIsWhatTheDeviceGot) {
  struct Row {
    const char* what;
    std::vector<std::string> packages;  // options of the packages fixture
    std::string pointer;                // the server's pointer file, when not the fixture's
    int status;
    std::string line;         // a line of the output: a command line of the record, or an error
    std::string device = "";  // what happens on the device before the run
  } rows[] = {
      {"a copy's name",
       {"--package-name", "QMServer_V1.4.2 (2).zip"},
       "",
       0,
       "command: as root: unzip -o 'QMServer_V1.4.2 (2).zip': exit status 0"},
      {"commands in a name",
       {"--package-name", "Pkg_V1.zip;touch injected;.zip"},
       "",
       0,
       "command: as root: unzip -o 'Pkg_V1.zip;touch injected;.zip': exit status 0"},
      {"a pointer file saved by Notepad",
       {},
       "\xEF\xBB\xBF" + std::string(kPackage),
       0,
       "command: as root: unzip -o QMServer_V3.1.zip: exit status 0"},
      {"an install script that fails",
       {"--install-exit", "1"},
       "",
       3,
       "[T] : [ERROR]The device could not install QMServer_V3.1.zip: the install script ended "
       "with exit status 1\n"},
      {"an unpack that fails on the device: the install script does not run",
       {},
       "",
       3,
       "[T] : [ERROR]The device could not install QMServer_V3.1.zip: the unpack ended with exit "
       "status ",
       "mkdir /root/QMServer && mount -t tmpfs -o ro,size=4k tmpfs /root/QMServer"},
      {"a control character in the name",
       {},
       "QMServer\x1b_V3.1.zip",
       2,
       "QMServer_LatestVersion.txt is no pointer file: it holds a control character (byte 0x1B at "
       "offset 8): it is no text; nothing was installed\n"},
      {"a name saved in Latin-1",
       {},
       "QMServer_Pr\xFC"
       "fung.zip",
       2,
       "names \"QMServer_Pr?fung.zip\", which is not UTF-8 text (save the pointer file as "
       "UTF-8); nothing was installed\n"},
  };
  int pc = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::vector<std::string> packages{"packages"};
    packages.insert(packages.end(), row.packages.begin(), row.packages.end());
    ASSERT_EQ(lab_.fixture(packages).status, 0);
    if (!row.pointer.empty()) writeText(pointerPath(), row.pointer);
    ASSERT_EQ(lab_.device("umount /root/QMServer 2>/dev/null; rm -rf /root/* "
                          "/var/log/lab-evidence.log")
                  .status,
              0);
    ASSERT_EQ(lab_.fixture({"device-qm"}).status, 0);
    if (!row.device.empty()) {
      ASSERT_EQ(lab_.device(row.device).status, 0);
    }
    const int connections = countOf(lab_.sshdLog(), "Connection from");
    TechnicianPc technician(lab_, "pc" + std::to_string(++pc));

    ProcessResult run = technician.run({});
    EXPECT_EQ(run.status, row.status) << run.out << run.err;
    const std::string out = maskTimestamps(run.out);
    const std::string evidence = readText(lab_.devicePath("var/log/lab-evidence.log"));
    // The row names the outcome and, but for a name that names no package, the package that
    // passed the check.
    const History history = readHistory(technician.path(kHistory));
    EXPECT_EQ(history.problem, "");
    if (history.rows.size() == 1) {
      const HistoryRecord& written = history.rows.front();
      EXPECT_EQ(written.at("exit_status"), std::to_string(row.status));
      EXPECT_EQ(
          written.at("package_sha256"),
          row.status == 2 ? "" : sha256Of(lab_.ftpRoot() + kServerFolder + written.at("package")));
    } else {
      ADD_FAILURE() << history.rows.size() << " rows";
    }
    if (row.status == 0) {
      EXPECT_TRUE(out.ends_with(kClosingLines)) << out;
      EXPECT_EQ(folderNames(lab_.devicePath("root")), (std::vector<std::string>{"QMServer"}));
      EXPECT_EQ(evidence, "QMServer/install.sh root /root\n");
      EXPECT_NE(technician.record().find(row.line), std::string::npos) << technician.record();
      continue;
    }
    EXPECT_EQ(out.find("Successful installation"), std::string::npos) << out;
    EXPECT_NE(out.find(row.line), std::string::npos) << out;
    if (row.status == 2) {
      EXPECT_EQ(countOf(lab_.sshdLog(), "Connection from") - connections, 1) << "the probe only";
      EXPECT_EQ(evidence, "");
    }
    if (row.status == 3 && !row.device.empty()) {
      // After the failed unpack only the archive's removal ran.
      EXPECT_EQ(evidence, "");
      const std::string record = technician.record();
      EXPECT_NE(record.find("command: as root: rm QMServer_V3.1.zip: exit status 0"),
                std::string::npos)
          << record;
      EXPECT_EQ(record.find("install.sh"), std::string::npos) << record;
    }
  }
}

TEST_F(ServerPackage, OfflineSlipInThePointerFileRemovesNothing) {
  writeText(pc_.path("data/QM/QMServer_LatestVersion.txt"), "*");
  ASSERT_EQ(lab_.device("echo kept > /root/keep.txt").status, 0);
  installEarlierPackage();
  ASSERT_TRUE(lab_.ftpDown());
  ProcessResult run = pc_.run({});
  // No such package: the upload fails (or, on Windows, "*" is refused as a file name).
  EXPECT_TRUE(run.status == 256 - 13 || run.status == 2) << run.status;
  EXPECT_EQ(readText(lab_.devicePath("root/keep.txt")), "kept\n");
  EXPECT_EQ(readText(lab_.devicePath("root/QMServer/install.sh")), "earlier\n");
  EXPECT_EQ(folderNames(lab_.devicePath("root")),
            (std::vector<std::string>{"QMServer", "keep.txt"}));
  EXPECT_EQ(readText(lab_.devicePath("var/log/lab-evidence.log")), "");
}

TEST_F(ServerPackage, FailedUploadEndsTheRunWithItsStatusAndNoClosingLines) {
  ASSERT_EQ(lab_.device("mount -t tmpfs -o size=16k tmpfs /root").status, 0);
  installEarlierPackage();
  ProcessResult run = pc_.run({});
  EXPECT_EQ(run.status, 256 - 14);
  EXPECT_EQ(run.out.find("Successful installation"), std::string::npos) << run.out;
  EXPECT_TRUE(maskTimestamps(run.out).ends_with(
      "[T] : [ERROR]Failed to install the server package, status -14\n"))
      << run.out;
  EXPECT_NE(run.out.find("[ERROR]The upload of QMServer_V3.1.zip failed with status -14"),
            std::string::npos)
      << run.out;
  // The earlier installation stays, and the part of the package that did arrive is gone.
  expectEarlierPackageOnly();
}

TEST_F(ServerPackage, FailedPackageDownloadEndsWithOne) {
  ASSERT_TRUE(lab_.ftpFault({"refuse-retr", "2"}));  // the pointer file comes, the package not
  ProcessResult run = pc_.run({});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("FtpGetFile failed. Error: "), std::string::npos) << run.err;
  EXPECT_EQ(maskTimestamps(run.out),
            "QM\n" + std::string(kPackage) + "\n[T] : [ERROR]The package " + kPackage +
                " could not be fetched from the package server at 192.168.10.1: it is not there "
                "(error 78); nothing was installed\n"
                "[T] : [ERROR]Failed to install the server package, status 1\n");
  EXPECT_EQ(folderNames(pc_.path("data/QM")),
            (std::vector<std::string>{"QMServer_LatestVersion.txt"}));
}

void replaceFirst(std::string& text, const std::string& what, const std::string& with) {
  const std::size_t at = text.find(what);
  if (at != std::string::npos) text.replace(at, what.size(), with);
}

enum class Local { None, Damaged, EarlierBuild };
enum class Digest { None, OfTheServersCopy, OfAnotherBuild };
struct Outcome;
using Check = void (*)(Outcome&);

struct Row {
  const char* what;
  std::vector<std::string> server = {};  // options of the packages fixture
  std::vector<std::string> fault = {};   // a package server fault switched on before the run
  Local local = Local::None;     // what data/QM holds before the run, with the server's time
  Digest digest = Digest::None;  // the digest file the server publishes beside the package
  std::vector<std::string> deviceTool = {};  // how the unit's tools misbehave in the run
  bool offline = false;
  int status = 0;
  std::string line;  // a line of standard output; "FOLDER" stands for data/QM as shown
  std::vector<std::string> arguments = {};
  std::vector<Check> then;        // what else the run must have done or left, in this order
  std::string packageCheck = "";  // the history row's package_check, where the row names one
};

// What a row's run met and left, for the checks the row names.
struct Outcome {
  const Row& row;
  const Lab& lab;
  const TechnicianPc& pc;
  ProcessResult run = {};
  std::string out = {};           // standard output, time stamps masked
  std::string local = {};         // the package's path in data/QM
  std::string earlierBuild = {};  // the package as the server held it before the row's changes
  std::filesystem::file_time_type localTime = {};  // of the local copy before the run, if any
  std::size_t ftpLogBefore = 0;                    // the package server's log up to the run

  std::string serverPath() const { return lab.ftpRoot() + kServerFolder + kPackage; }
  std::string serverCopy() const { return readText(serverPath()); }
  std::string evidence() const { return readText(lab.devicePath("var/log/lab-evidence.log")); }
  void rerun(const std::vector<std::string>& args = {}) {
    run = pc.run(args);
    out = maskTimestamps(run.out);
    EXPECT_EQ(run.status, 0) << run.out << run.err;
  }
};

const std::string kInstalled = "QMServer/install.sh root /root\n";

void prepareDevice(const Lab& lab) {
  ASSERT_EQ(lab.device("rm -rf /root/* /root/.p* && : > /var/log/lab-evidence.log").status, 0);
  writeText(lab.devicePath("root/QMServer/install.sh"), "earlier\n");
}

// Nothing ran on the device after the probe: it keeps its earlier installation.
void deviceKeepsItsEarlierInstallation(Outcome& o) {
  EXPECT_EQ(o.pc.record().find("command:"), std::string::npos) << o.pc.record();
  EXPECT_EQ(folderNames(o.lab.devicePath("root")), (std::vector<std::string>{"QMServer"}));
  EXPECT_EQ(readText(o.lab.devicePath("root/QMServer/install.sh")), "earlier\n");
  EXPECT_EQ(o.evidence(), "");
  EXPECT_EQ(o.out.find("Successful installation"), std::string::npos) << o.out;
}

// Standard error tells what the technician can do.
void errorSays(Outcome& o, const std::string& text) {
  EXPECT_NE(o.run.err.find(text), std::string::npos) << o.run.err;
}
void errorSaysTheDownloadFailed(Outcome& o) { errorSays(o, "FtpGetFile failed. Error: "); }
void errorAsksForASoundCopy(Outcome& o) { errorSays(o, "have a sound copy put there"); }
void errorAsksForARunOnline(Outcome& o) {
  errorSays(o, "run once while the package server answers");
}
void errorAsksForTheSameBuild(Outcome& o) {
  errorSays(o, "have both put there again from the same build");
}

void recordNamesTheDamage(Outcome& o) {
  EXPECT_NE(o.pc.record().find("package check: " + std::string(kPackage) + " is damaged: "),
            std::string::npos)
      << o.pc.record();
}

// Refused before a line of it reached the console: after the device line only run-log lines, and
// no control character.
void nothingOfThePointerShows(Outcome& o) {
  std::istringstream lines(o.out);
  std::string shown;
  std::getline(lines, shown);
  EXPECT_EQ(shown, "QM");
  while (std::getline(lines, shown)) EXPECT_TRUE(shown.starts_with("[T] : [")) << shown;
  EXPECT_FALSE(
      std::ranges::any_of(o.out, [](char c) { return c != '\n' && isControlCharacter(c); }));
}

void dataKeepsOnlyThePointerFile(Outcome& o) {
  EXPECT_EQ(folderNames(o.pc.path("data/QM")),
            (std::vector<std::string>{"QMServer_LatestVersion.txt"}));
}

// The earlier copy stays, bytes and time, and the next run without the package server installs it.
void dataKeepsTheEarlierCopyForOfflineRuns(Outcome& o) {
  EXPECT_EQ(folderNames(o.pc.path("data/QM")),
            (std::vector<std::string>{"QMServer_LatestVersion.txt", kPackage}));
  EXPECT_TRUE(readText(o.local) == o.earlierBuild);
  std::error_code noCopy;
  EXPECT_EQ(std::filesystem::last_write_time(o.local, noCopy), o.localTime);
  ASSERT_TRUE(o.lab.ftpDown());
  o.rerun();
  EXPECT_EQ(o.evidence(), kInstalled);
  EXPECT_EQ(fileSize(o.lab.devicePath("root/QMServer/bin/QMServer")), 25000);
  ASSERT_TRUE(o.lab.ftpUp());
  prepareDevice(o.lab);
}

void theCopyHereWasUsed(Outcome& o) {
  const std::string log = o.lab.ftpLog().substr(o.ftpLogBefore);
  EXPECT_FALSE(std::regex_search(log, std::regex(R"(<- RETR [^\n]*QMServer_V3\.1\.zip\n)"))) << log;
}

// The device got the server's copy, which data/QM holds with the server's time.
void installedTheServersBytes(Outcome& o) {
  EXPECT_TRUE(o.run.out.ends_with(kClosingLines)) << o.run.out;
  EXPECT_TRUE(readText(o.local) == o.serverCopy());
  EXPECT_EQ(o.evidence(), kInstalled);
  const auto option = std::ranges::find(o.row.server, "--server-payload");
  const int payload = o.run.status == 0 && o.row.status == 0 && option != o.row.server.end()
                          ? std::stoi(*std::next(option))
                          : 25000;
  EXPECT_EQ(fileSize(o.lab.devicePath("root/QMServer/bin/QMServer")), payload);
}
void installedTheServersCopy(Outcome& o) {
  installedTheServersBytes(o);
  std::error_code noCopy;
  EXPECT_EQ(
      std::chrono::floor<std::chrono::seconds>(std::filesystem::last_write_time(o.local, noCopy)),
      std::chrono::floor<std::chrono::seconds>(std::filesystem::last_write_time(o.serverPath())));
}

// The unit unpacked the package, but what it holds is not known to be the package: its install
// script did not run, and the history row names no check of the unit.
void installScriptDidNotRun(Outcome& o) {
  EXPECT_EQ(o.evidence(), "");
  EXPECT_EQ(o.out.find("Successful installation"), std::string::npos) << o.out;
  const History history = readHistory(o.pc.path(kHistory));
  ASSERT_EQ(history.rows.size(), 1u) << history.problem;
  EXPECT_EQ(history.rows.back().at("device_check"), "");
}

// Once the server holds a sound copy (and no fault), and the unit's tools work, the next run
// installs it.
void aSoundCopyInstallsNext(Outcome& o) {
  ASSERT_TRUE(o.lab.deviceTool({"clear"}));
  ASSERT_TRUE(o.lab.ftpFault({"clear"}));
  ASSERT_EQ(o.lab.fixture({"packages"}).status, 0);
  std::filesystem::remove(o.serverPath() + ".sha256");
  o.rerun();
  installedTheServersCopy(o);
}

// Unzip finds the Mac's files of the first installation and replaces them without asking.
void installsAgainOverTheMacsFiles(Outcome& o) {
  o.rerun();
  EXPECT_TRUE(o.run.out.ends_with(kClosingLines)) << o.run.out;
  EXPECT_EQ(o.evidence(), kInstalled + kInstalled);
}

// Only a sound package reaches the device, on a unit with OpenSSH and Info-ZIP's unzip and on one
// with Dropbear and BusyBox's tools; a local copy is fetched again while the package server holds
// another or a sound one. A package that either unzip would unpack elsewhere, differently or not
// at all is refused like a damaged one, and so is a pointer file that is no text.
// The checks of a package refused: from the server while no copy is here, for good, or before
// a line of its pointer file showed.
const std::vector<Check> kRefusedFromTheServer{deviceKeepsItsEarlierInstallation,
                                               recordNamesTheDamage, errorAsksForASoundCopy,
                                               dataKeepsOnlyThePointerFile, aSoundCopyInstallsNext};
const std::vector<Check> kRefusedForGood{deviceKeepsItsEarlierInstallation, recordNamesTheDamage,
                                         errorAsksForASoundCopy, dataKeepsOnlyThePointerFile};
const std::vector<Check> kRefusedBeforeItShowed{deviceKeepsItsEarlierInstallation,
                                                nothingOfThePointerShows};

class PackageCheck : public testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(lab_.ok()) << lab_.startError();
    ASSERT_EQ(lab_.fixture({"device-qm"}).status, 0);
  }

  // Runs each row on a technician's PC of its own: the package server and the data folder as the
  // row lays them out, the device with an earlier installation.
  void runRows(const std::vector<Row>& rows) {
    int pc = 0;
    for (const Row& row : rows) {
      SCOPED_TRACE(row.what);
      TechnicianPc technician(lab_, "pc" + std::to_string(++pc));
      Outcome o{.row = row, .lab = lab_, .pc = technician};
      layOut(o);
      o.run = technician.run(row.arguments);
      o.out = maskTimestamps(o.run.out);
      EXPECT_EQ(o.run.status, row.status) << o.run.out << o.run.err;
      std::string line = row.line;
      replaceFirst(line, "FOLDER", technician.shownPath("data/QM"));
      replaceFirst(line, "SIZE", std::to_string(o.earlierBuild.size()));
      EXPECT_NE(o.out.find(line), std::string::npos) << o.out;
      if (!row.packageCheck.empty()) {
        const History history = readHistory(technician.path(kHistory));
        ASSERT_FALSE(history.rows.empty()) << history.problem;
        EXPECT_EQ(history.rows.front().at("package_check"), row.packageCheck);
        EXPECT_EQ(history.rows.front().at("package_sha256"),
                  row.status == 0 ? sha256Of(o.local) : "");
      }
      for (const Check check : row.then) check(o);
    }
  }

  void layOut(Outcome& o) {
    const Row& row = o.row;
    ASSERT_TRUE(lab_.ftpUp());
    ASSERT_TRUE(lab_.ftpFault({"clear"}));
    ASSERT_EQ(lab_.fixture({"packages"}).status, 0);
    std::filesystem::remove(o.serverPath() + ".sha256");
    o.earlierBuild = o.serverCopy();
    const auto earlierTime = std::filesystem::last_write_time(o.serverPath());
    std::vector<std::string> packages{"packages"};
    packages.insert(packages.end(), row.server.begin(), row.server.end());
    ASSERT_EQ(lab_.fixture(packages).status, 0);
    if (!row.fault.empty()) {
      ASSERT_TRUE(lab_.ftpFault(row.fault));
    }
    if (row.digest != Digest::None) {
      const std::string digest = sha256Of(o.serverPath());
      const std::string named =
          row.digest == Digest::OfTheServersCopy ? digest : std::string(64, 'a');
      writeText(o.serverPath() + ".sha256", named + "  " + kPackage + "\n");
    }
    prepareDevice(lab_);
    ASSERT_TRUE(lab_.deviceTool({"clear"}));
    if (!row.deviceTool.empty()) {
      ASSERT_TRUE(lab_.deviceTool(row.deviceTool));
    }
    o.local = o.pc.path("data/QM/") + kPackage;
    writeText(o.pc.path("data/QM/QMServer_LatestVersion.txt"), kPackage);
    if (row.local == Local::Damaged) {
      // The server's copy as fetched, then damaged here.
      writeText(o.local, flipByteAfter(o.serverCopy(), "bin/QMServer", 40));
      std::filesystem::last_write_time(o.local, std::filesystem::last_write_time(o.serverPath()));
    } else if (row.local == Local::EarlierBuild) {
      writeText(o.local, o.earlierBuild);
      std::filesystem::last_write_time(o.local, earlierTime);
    }
    std::error_code noCopy;
    o.localTime = std::filesystem::last_write_time(o.local, noCopy);
    o.ftpLogBefore = lab_.ftpLog().size();
    if (row.offline) {
      ASSERT_TRUE(lab_.ftpDown());
    }
  }

  Lab lab_{uniqueLabName("qm-check"), "qm", GetParam()};
};

TEST_P(PackageCheck, OnlyASoundPackageReachesTheDevice) {
  const std::string packagePath = std::string(kServerFolder) + kPackage;
  runRows({
      {.what = "the server's copy cut short",
       .server = {"--damaged-package"},
       .status = 4,
       .line = "[T] : [ERROR]The package QMServer_V3.1.zip fetched into FOLDER is damaged: it "
               "cannot be read as a zip archive (Not a zip archive); it was removed. Nothing of it "
               "reached the device, which keeps its earlier installation\n",
       .then = kRefusedFromTheServer},
      {.what = "a flipped byte in the server's copy",
       .server = {"--flipped-byte"},
       .status = 4,
       .line = "is damaged: its entry QMServer/bin/QMServer is damaged (CRC error); it was "
               "removed. Nothing",
       .then = kRefusedFromTheServer},
      {.what = "a flipped byte in the server's copy, an earlier copy here",
       .server = {"--flipped-byte", "--server-payload", "26000"},
       .local = Local::EarlierBuild,
       .status = 4,
       .line = "is damaged: its entry QMServer/bin/QMServer is damaged (CRC error); it was "
               "removed, and the earlier copy in FOLDER is kept for offline runs. Nothing",
       .then = {deviceKeepsItsEarlierInstallation, recordNamesTheDamage, errorAsksForASoundCopy,
                dataKeepsTheEarlierCopyForOfflineRuns, aSoundCopyInstallsNext}},
      {.what = "a damaged local copy while the server answers",
       .local = Local::Damaged,
       .line = "[T] : [WARING]The copy of QMServer_V3.1.zip in FOLDER is damaged: its entry "
               "QMServer/bin/QMServer is damaged (",
       .then = {installedTheServersCopy}},
      {.what = "a damaged local copy offline",
       .local = Local::Damaged,
       .offline = true,
       .status = 4,
       .line = "[T] : [ERROR]The package QMServer_V3.1.zip in FOLDER is damaged: its entry "
               "QMServer/bin/QMServer is damaged (",
       .then = {deviceKeepsItsEarlierInstallation, recordNamesTheDamage, errorAsksForARunOnline}},
      {.what = "a package rebuilt under its name",
       .server = {"--server-payload", "26000"},
       .local = Local::EarlierBuild,
       .line = "[T] : [INFO]The copy of QMServer_V3.1.zip in FOLDER (SIZE bytes) differs from the "
               "package server's (",
       .then = {installedTheServersCopy},
       .packageCheck = "downloaded"},
      {.what = "a newer build whose download breaks off",
       .server = {"--server-payload", "26000"},
       .fault = {"drop-after", "5000", packagePath},
       .local = Local::EarlierBuild,
       .status = 1,
       .line = "its transfer broke off before the whole file had arrived (error 1",
       .then = {deviceKeepsItsEarlierInstallation, errorSaysTheDownloadFailed,
                dataKeepsTheEarlierCopyForOfflineRuns, aSoundCopyInstallsNext}},
      {.what = "a package zipped on a Mac",
       .server = {"--mac-made"},
       .line = "inflating: __MACOSX/._QMServer",
       .then = {installedTheServersCopy, installsAgainOverTheMacsFiles}},
  });
}

// A copy here that size and time cannot tell from the server's, the publisher's digest file, a
// server that lets one address hold one connection, and a unit whose unpacked tree is not the
// archive: the device runs nothing not proven to be the server's package as the unit unpacked it.
TEST_P(PackageCheck, OnlyTheServersPackageAsTheUnitHoldsItIsInstalled) {
  const std::string packagePath = std::string(kServerFolder) + kPackage;
  runRows({
      {.what = "a rebuild of the same size under its name, with a new time",
       .fault = {"rebuild", packagePath},
       .local = Local::EarlierBuild,
       .line = " UTC), though of the same size: it is fetched again\n",
       .then = {installedTheServersCopy}},
      {.what = "a rebuild of the same size that kept the old time, with its digest file",
       .fault = {"rebuild", packagePath, "--keep-time"},
       .local = Local::EarlierBuild,
       .digest = Digest::OfTheServersCopy,
       .line = "[T] : [INFO]The copy of QMServer_V3.1.zip in FOLDER is not the one "
               "QMServer_V3.1.zip.sha256 on the package server names: it is fetched again\n",
       .then = {installedTheServersCopy},
       .packageCheck = "digest"},
      {.what = "the copy here that the digest file names, whatever its time",
       .local = Local::EarlierBuild,
       .digest = Digest::OfTheServersCopy,
       .line = "QM\nQMServer_V3.1.zip\n",
       .then = {theCopyHereWasUsed, installedTheServersBytes},
       .packageCheck = "digest"},
      {.what = "a digest file that names another build",
       .digest = Digest::OfAnotherBuild,
       .status = 4,
       .line = "[T] : [ERROR]The package QMServer_V3.1.zip fetched into FOLDER is not the one its "
               "digest file names: its SHA-256 is ",
       .then = {deviceKeepsItsEarlierInstallation, errorAsksForTheSameBuild,
                dataKeepsOnlyThePointerFile, aSoundCopyInstallsNext}},
      {.what = "a server that tells neither size nor time",
       .server = {"--server-payload", "26000"},
       .fault = {"refuse-size-mdtm"},
       .local = Local::EarlierBuild,
       .line = "[T] : [INFO]The package server tells neither the size nor the time of "
               "QMServer_V3.1.zip, so the copy cannot be matched with it: it is fetched again\n",
       .then = {installedTheServersBytes}},
      {.what = "a server that lets one address hold one connection at a time",
       .server = {"--server-payload", "26000"},
       .fault = {"max-per-address", "1"},
       .local = Local::EarlierBuild,
       .line = "[T] : [INFO]The copy of QMServer_V3.1.zip in FOLDER (SIZE bytes) differs from the "
               "package server's (",
       .then = {installedTheServersCopy},
       .packageCheck = "downloaded"},
      {.what = "a unit whose unzip writes a file other than the archive holds",
       .deviceTool = {"alter-after-unzip", "QMServer/bin/QMServer"},
       .status = 3,
       .line = "[T] : [ERROR]The device could not install QMServer_V3.1.zip: what the unpack made "
               "in /root/ is not the package: its file QMServer/bin/QMServer differs on the unit "
               "(SHA-256 ",
       .then = {installScriptDidNotRun, aSoundCopyInstallsNext}},
      {.what = "a unit without sha256sum",
       .deviceTool = {"hide", "sha256sum"},
       .status = 3,
       .line = "[T] : [ERROR]The device could not install QMServer_V3.1.zip: the unit has no "
               "sha256sum to check the unpacked files with\n",
       .then = {installScriptDidNotRun, aSoundCopyInstallsNext}},
  });
}

// What a unit's unzip would unpack elsewhere, differently or not at all, and pointer files that
// are no short line of text, never reach the unit.
TEST_P(PackageCheck, WhatAUnitWouldUnpackWronglyNeverReachesIt) {
  runRows({
      {.what = "an entry that climbs out",
       .server = {"--malformed", "parent-entry"},
       .status = 4,
       .line = "is damaged: its entry ../../etc/cron.d/x climbs out of the folder it is unpacked "
               "into (\"..\"); it was removed.",
       .then = kRefusedForGood},
      {.what = "an absolute entry",
       .server = {"--malformed", "absolute-entry"},
       .status = 4,
       .line = "is damaged: its entry /etc/cron.d/x has an absolute name; it was removed.",
       .then = kRefusedForGood},
      {.what = "backslashes between folder names",
       .server = {"--malformed", "backslashes"},
       .status = 4,
       .line = "is damaged: its entry QMServer\\install.sh has a backslash in its name",
       .then = kRefusedForGood},
      {.what = "folders only",
       .server = {"--malformed", "folders-only"},
       .status = 4,
       .line = "is damaged: it holds no files; it was removed.",
       .then = kRefusedForGood},
      {.what = "0 bytes stored for 16",
       .server = {"--malformed", "zero-stored"},
       .status = 4,
       .line = "is damaged: its entry QMServer/bin/QMServer is damaged (only 0 of its 16 bytes are "
               "there); it was removed.",
       .then = kRefusedForGood},
      {.what = "bzip2 entries",
       .server = {"--malformed", "bzip2"},
       .status = 4,
       .line = "is damaged: its entry QMServer/install.sh is compressed with bzip2 (method 12); "
               "only stored and deflated entries unpack on every unit; it was removed.",
       .then = kRefusedForGood},
      {.what = "a pointer file overwritten with 48 MiB of binary data",
       .server = {"--binary-pointer", std::to_string(48 << 20)},
       .status = 2,
       .line = "QMServer_LatestVersion.txt is no pointer file: it is larger than 4096 bytes; "
               "nothing was installed\n",

       .then = kRefusedBeforeItShowed},
      {.what = "mode 1, its pointer file overwritten with 256 KiB of binary data",
       .server = {"--binary-pointer", std::to_string(256 << 10)},
       .status = 2,
       .line = "DriverAndLib_LatestVersion.txt is no pointer file: it is larger than 4096 bytes; "
               "nothing was installed\n",
       .arguments = {"1"},

       .then = kRefusedBeforeItShowed},
  });
}

INSTANTIATE_TEST_SUITE_P(BothDevices, PackageCheck, testing::Values("openssh", "dropbear"));

// Peers that stop answering in the middle of a run, with the program's own waits.
class ServerPackageStall : public ServerPackage {
 protected:
  // A package large enough that a fault lands in the middle of its transfer.
  void layOutLargePackage() {
    ASSERT_EQ(lab_.fixture({"packages", "--server-payload", std::to_string(kLargePayload)}).status,
              0);
  }
  std::string packagePath() const { return std::string(kServerFolder) + kPackage; }
  // Where the package arrives before it takes its name.
  static constexpr const char* kArriving = "/root/.provision-*.part";

  // A run whose package upload the device stopped answering: one error line after the upload's
  // wait, the run's end with -15, and the earlier installation as it was, with nothing beside it
  // that a later run would take for a package.
  void expectUploadGivenUp(const ProcessResult& run) const {
    EXPECT_EQ(run.status, 256 - 15);
    const std::string out = maskTimestamps(run.out);
    EXPECT_NE(out.find("\n[T] : [ERROR]The device stopped answering during the upload of " +
                       std::string(kPackage) + " (no reply for 30 s)\n"),
              std::string::npos)
        << out;
    EXPECT_TRUE(out.ends_with("[T] : [ERROR]Failed to install the server package, status -15\n"))
        << out;
    EXPECT_EQ(countOf(out, "[ERROR]The device stopped answering"), 1);
    EXPECT_GE(run.seconds, 30.0);
    EXPECT_LT(run.seconds, 90.0);
    expectEarlierPackageOnly(true);
  }

  static constexpr std::int64_t kLargePayload = 64 * 1024 * 1024;
};

TEST_F(ServerPackageStall, DeviceThatStopsAnsweringMidUploadEndsTheRunWithMinus15) {
  layOutLargePackage();
  installEarlierPackage();
  ASSERT_TRUE(lab_.hangDeviceAfter(1024 * 1024, kArriving));
  expectUploadGivenUp(pc_.run({}));

  // The next run removes what the cut-off one left and installs the package whole.
  ASSERT_TRUE(lab_.resume("device"));
  ProcessResult next = pc_.run({});
  EXPECT_EQ(next.status, 0) << next.out;
  EXPECT_EQ(folderNames(lab_.devicePath("root")), (std::vector<std::string>{"QMServer"}));
  EXPECT_EQ(fileSize(lab_.devicePath("root/QMServer/bin/QMServer")), kLargePayload);
}

TEST_F(ServerPackageStall, DeviceSwitchedOffMidUploadEndsTheRunWithMinus15) {
  layOutLargePackage();
  installEarlierPackage();
  ASSERT_TRUE(lab_.powerOffAfter(1024 * 1024, kArriving));
  expectUploadGivenUp(pc_.run({}));
}

TEST_F(ServerPackageStall, PackageServerThatStopsMidDownloadEndsTheRunWithOne) {
  layOutLargePackage();
  ASSERT_TRUE(lab_.ftpFault({"stop-after", "1000000", packagePath()}));
  ProcessResult run = pc_.run({});
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(std::regex_match(run.err, std::regex(R"(FtpGetFile failed\. Error: 28\n)"
                                                   R"(The package server at [0-9.]+ answered at )"
                                                   R"(the start but not later in the run .*\n)")))
      << run.err;
  EXPECT_EQ(maskTimestamps(run.out),
            "QM\n" + std::string(kPackage) +
                "\n[T] : [ERROR]The package server stopped answering during the download of " +
                packagePath() +
                " (no reply for 30 s)\n"
                "[T] : [ERROR]The package " +
                kPackage +
                " could not be fetched from the package server at 192.168.10.1: the package "
                "server stopped answering (error 28); nothing was installed\n"
                "[T] : [ERROR]Failed to install the server package, status 1\n");
  EXPECT_GE(run.seconds, 30.0);
  EXPECT_LT(run.seconds, 90.0);
  // Neither the package nor a piece of it.
  EXPECT_EQ(folderNames(pc_.path("data/QM")),
            (std::vector<std::string>{"QMServer_LatestVersion.txt"}));
}

TEST_F(ServerPackageStall, PackageServerThatHangsAtStartUpLeavesTheRunOffline) {
  // What an earlier run left.
  writeText(pc_.path("data/QM/QMServer_LatestVersion.txt"), kPackage);
  writeText(pc_.path(std::string("data/QM/") + kPackage),
            readText(lab_.ftpRoot() + kServerFolder + kPackage));
  ASSERT_TRUE(lab_.hang("ftp"));
  ProcessResult run = pc_.run({});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(std::regex_match(run.err, serverDownAtStartUp("28"))) << run.err;
  const std::string out = maskTimestamps(run.out);
  EXPECT_TRUE(
      out.starts_with("QM\n[T] : [ERROR]The package server stopped answering during the "
                      "connection (no reply for 10 s)\n" +
                      std::string(kPackage) + "\n"))
      << out;
  EXPECT_TRUE(out.ends_with(kClosingLines)) << out;
  EXPECT_GE(run.seconds, 10.0 + 5.0);
  EXPECT_LT(run.seconds, 60.0);
  EXPECT_NE(
      readText(lab_.devicePath("var/log/lab-evidence.log")).find("QMServer/install.sh root /root"),
      std::string::npos);
}

TEST_F(ServerPackageStall, InstallScriptSilentForLongerThanTheStallLimitSucceeds) {
  ASSERT_EQ(lab_.fixture({"packages", "--install-pause", "45"}).status, 0);
  ProcessResult run = pc_.run({});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_TRUE(run.out.ends_with(kClosingLines)) << run.out;
  EXPECT_EQ(run.out.find("[ERROR]"), std::string::npos) << run.out;
  EXPECT_GE(run.seconds, 45.0 + 5.0);
  EXPECT_NE(
      readText(lab_.devicePath("var/log/lab-evidence.log")).find("QMServer/install.sh root /root"),
      std::string::npos);
}

}  // namespace
}  // namespace provision::test
