// The entry point of the real executable: arguments, the device probe and the folder tree.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <regex>
#include <sstream>
#include <vector>

#include "support/history.h"
#include "support/lab.h"
#include "support/scenario.h"

namespace provision::test {
namespace {

const std::vector<std::string> kDataTree{"CalFile", "QM", "ZR", "lib"};
constexpr const char* kHistory = "provision-history.csv";

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
  EXPECT_EQ(fileSize(pc.path(kHistory)), -1) << "a run that reached no device has no row";
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
  EXPECT_TRUE(std::regex_match(run.err, serverDownAtStartUp())) << run.err;
  EXPECT_EQ(folderNames(pc.path("data")), kDataTree);
  const std::string record = pc.record();
  std::istringstream err(run.err);
  for (std::string line; std::getline(err, line);)
    EXPECT_NE(record.find("] stderr: " + line + "\n"), std::string::npos) << line << record;
  EXPECT_NE(record.find("] package server: offline"), std::string::npos) << record;

  // A record that cannot be written costs one line on standard error, and nothing else changes.
  std::filesystem::remove(pc.path("provision.log"));
  std::filesystem::create_directory(pc.path("provision.log"));
  ProcessResult unrecorded = pc.run({"3"});
  EXPECT_EQ(unrecorded.status, 0);
  EXPECT_EQ(unrecorded.out, run.out);
  const std::string notRecorded = "; this run is not recorded\n";
  EXPECT_TRUE(unrecorded.err.starts_with("Cannot write the run record ")) << unrecorded.err;
  EXPECT_EQ(unrecorded.err.substr(unrecorded.err.find(notRecorded) + notRecorded.size()), run.err);

  // Both runs have their rows in the unit history, the unrecorded one too.
  const History history = readHistory(pc.path(kHistory));
  EXPECT_EQ(history.problem, "");
  ASSERT_EQ(history.rows.size(), 2u);
  for (const HistoryRecord& row : history.rows)
    EXPECT_EQ(row.at("mode") + row.at("device_line") + row.at("package_server") + row.at("meaning"),
              "3QMofflinesuccess");

  // A unit history that cannot be written costs one line on standard error, and the run record
  // keeps the row.
  std::filesystem::remove(pc.path("provision.log"));
  std::filesystem::remove(pc.path(kHistory));
  std::filesystem::create_directory(pc.path(kHistory));
  ProcessResult unwritten = pc.run({"3"});
  EXPECT_EQ(unwritten.status, 0);
  EXPECT_EQ(unwritten.out, run.out);
  EXPECT_EQ(unwritten.err, run.err + "Cannot write the unit history " + pc.shownPath(kHistory) +
                               "; the run record keeps this run's row\n");
  EXPECT_TRUE(std::regex_search(
      pc.record(), std::regex(R"(\] history: \d{4}-\d\d-\d\dT[\d:]+[+-][\d:]+,[^,]+,\d+\.\d+\.\d+,)"
                              R"([0-9a-f]*,3,CN,,QM,,,,offline,,,,,,0,success,\d+\.\d,,\n)")))
      << pc.record();
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
  // Each run has an entry of its own all the same.
  const std::string record = pc.record();
  EXPECT_EQ(countOf(record, "] start: provision "), 3) << record;
  EXPECT_EQ(countOf(record, "] end: exit status 1 (the device refused both root passwords"), 3)
      << record;
  // And a row in the unit history, whose unit columns are empty.
  const History history = readHistory(pc.path(kHistory));
  EXPECT_EQ(history.problem, "");
  ASSERT_EQ(history.rows.size(), 3u);
  for (std::size_t i = 0; i < history.rows.size(); ++i) {
    const HistoryRecord& row = history.rows[i];
    expectRunColumns(row, 0.0);
    EXPECT_EQ(row.at("mode"), std::to_string(i + 1));
    EXPECT_EQ(row.at("exit_status"), "1");
    EXPECT_TRUE(row.at("meaning").starts_with("the device refused both root passwords"))
        << row.at("meaning");
    for (const char* empty :
         {"device_line", "uid", "model_code", "model_label", "package_server", "package",
          "package_sha256", "calibration_folder", "calibration_files", "calibration_sha256"})
      EXPECT_EQ(row.at(empty), "") << empty;
  }
}

// Every failure a technician meets ends with one line on standard error that names what to check,
// and after a package-server error line the code that line gave.
TEST(Provision, FailuresEndWithALineThatSaysWhatToCheck) {
  Lab lab(uniqueLabName("advice"), "qm");
  ASSERT_TRUE(lab.ok()) << lab.startError();
  Lab refusing(uniqueLabName("advice-none"), "none");
  ASSERT_TRUE(refusing.ok()) << refusing.startError();
  ASSERT_EQ(lab.fixture({"packages", "--server-payload", "1000000"}).status, 0);
  ASSERT_EQ(lab.fixture({"device-qm"}).status, 0);
  const std::string device = PROVISION_DEVICE_HOST, server = PROVISION_FTP_HOST;

  struct Row {
    const char* what;
    const Lab& lab;
    std::vector<std::string> args;
    std::function<void(TechnicianPc&)> setUp, tearDown;
    // What the line must name, as found in the PC's folder.
    std::function<std::vector<std::string>(const TechnicianPc&)> names;
  };
  const auto nothing = [](TechnicianPc&) {};
  const auto offline = [&](TechnicianPc& pc) {
    ASSERT_TRUE(lab.ftpDown());
    writeText(pc.path("data/QM/QMServer_LatestVersion.txt"), "QMServer_V3.1.zip");
  };
  const Row rows[] = {
      {"device switched off",
       lab,
       {},
       [&](TechnicianPc&) { ASSERT_TRUE(lab.unplugDevice()); },
       [&](TechnicianPc&) { lab.plugDevice(); },
       [&](const TechnicianPc&) {
         return std::vector<std::string>{device, "switched on"};
       }},
      {"both root passwords refused",
       refusing,
       {},
       nothing,
       nothing,
       [&](const TechnicianPc&) {
         return std::vector<std::string>{device, "root password"};
       }},
      {"package server down at start-up",
       lab,
       {"3"},
       [&](TechnicianPc&) { lab.ftpDown(); },
       [&](TechnicianPc&) { lab.ftpUp(); },
       [&](const TechnicianPc& pc) {
         return std::vector<std::string>{server, "(error 7)", pc.shownPath("data")};
       }},
      {"login refused",
       lab,
       {"3"},
       [&](TechnicianPc&) { lab.ftpFault({"refuse-login"}); },
       [&](TechnicianPc&) { lab.ftpFault({"clear"}); },
       [&](const TechnicianPc& pc) {
         return std::vector<std::string>{server, "velqorn", "(error 67)", pc.shownPath("data")};
       }},
      {"connection back blocked",
       lab,
       {},
       [&](TechnicianPc&) { lab.blockConnectBack(); },
       [&](TechnicianPc&) { lab.clearFirewall(); },
       [&](const TechnicianPc&) {
         return std::vector<std::string>{server, "firewall", "(error 12)"};
       }},
      {"disk full",
       lab,
       {},
       [&](TechnicianPc& pc) { ASSERT_TRUE(lab.mountFull(pc.path("data/QM"), 64 * 1024)); },
       [&](TechnicianPc& pc) { lab.unmount(pc.path("data/QM")); },
       [&](const TechnicianPc& pc) {
         return std::vector<std::string>{pc.shownPath("data/QM"), "full", "(error 23)"};
       }},
      {"folder read-only",
       lab,
       {},
       [&](TechnicianPc& pc) { ASSERT_TRUE(lab.mountReadOnly(pc.path("data/QM"))); },
       [&](TechnicianPc& pc) { lab.unmount(pc.path("data/QM")); },
       [&](const TechnicianPc& pc) {
         return std::vector<std::string>{pc.shownPath("data/QM"), "written", "(error 23)"};
       }},
      {"package missing offline",
       lab,
       {},
       offline,
       [&](TechnicianPc&) { lab.ftpUp(); },
       [&](const TechnicianPc& pc) {
         return std::vector<std::string>{"QMServer_V3.1.zip", pc.shownPath("data/QM")};
       }},
  };
  int folder = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    TechnicianPc pc(row.lab, "pc" + std::to_string(++folder));
    std::filesystem::create_directories(pc.path("data/QM"));
    row.setUp(pc);
    ProcessResult run = pc.run(row.args);
    row.tearDown(pc);

    // A line beside the program's own error lines, which stay as they are, names what to check.
    const std::vector<std::string> names = row.names(pc);
    int naming = 0;
    std::istringstream err(run.err);
    for (std::string line; std::getline(err, line);) {
      const bool namesAll = std::all_of(names.begin(), names.end(), [&](const std::string& name) {
        return line.find(name) != std::string::npos;
      });
      if (!namesAll) continue;
      ++naming;
      EXPECT_EQ(run.out.find(line), std::string::npos) << "standard output stays as it was";
    }
    EXPECT_EQ(naming, 1) << run.err;
    // Given up after the connect wait, not as a server that stopped answering.
    EXPECT_EQ(run.out.find("stopped answering"), std::string::npos) << run.out;
  }
}

// A download that takes a while shows that it moves on the technician's console (standard error):
// one line updated in place, with the file's name, the percentage, the bytes and the rate, ended
// when the download ends. Redirected, standard error gets none of it, and neither does the run
// record.
TEST(Provision, LongDownloadShowsItsProgressOnAConsoleOnly) {
  Lab lab(uniqueLabName("progress"), "qm");
  ASSERT_TRUE(lab.ok()) << lab.startError();
  // A package of 4 MB over a line of 1 MB/s (the lab's server sends in bursts).
  ASSERT_EQ(lab.fixture({"packages", "--server-payload", "4000000"}).status, 0);
  ASSERT_EQ(lab.fixture({"device-qm"}).status, 0);
  ASSERT_TRUE(lab.ftpFault({"throttle", "1000000"}));
  TechnicianPc pc(lab);

  ProcessResult console = pc.runOnTerminal({});
  EXPECT_EQ(console.status, 0) << console.out;
  // What the terminal shows. Wine's console moves the cursor one cell on for a blank
  // ("\x1b[1C") and adds other control sequences, which go.
  std::string shown = std::regex_replace(console.out, std::regex("\x1b\\[1?C"), " ");
  shown = std::regex_replace(shown, std::regex("\x1b\\[[0-9;?]*[A-Za-z]"), "");
  const std::regex state(
      R"(QMServer_V3\.1\.zip: (\d+)% of 4\.0 MB, [0-9.]+ [kM]B at [0-9.]+ [kM]B/s)");
  std::vector<int> percentages;
  for (std::sregex_iterator it(shown.begin(), shown.end(), state), end; it != end; ++it)
    percentages.push_back(std::stoi((*it)[1]));
  ASSERT_GE(percentages.size(), 2u) << shown;
  EXPECT_TRUE(std::is_sorted(percentages.begin(), percentages.end())) << shown;
  EXPECT_LT(percentages.front(), 100) << shown;
  EXPECT_EQ(percentages.back(), 100) << shown;
  // The last state ends its line before anything else is written.
  EXPECT_TRUE(
      std::regex_search(shown, std::regex(R"(100% of 4\.0 MB, 4\.0 MB at [0-9.]+ [kM]B/s *\r*\n)")))
      << shown;
  EXPECT_EQ(pc.record().find("% of 4.0 MB"), std::string::npos) << pc.record();

  // The same download, redirected: nothing but what a run without a console writes.
  std::filesystem::remove(pc.path("data/QM/QMServer_V3.1.zip"));
  ProcessResult redirected = pc.run({});
  EXPECT_EQ(redirected.status, 0) << redirected.err;
  EXPECT_GE(redirected.seconds, 3.0) << "the download took a while";
  EXPECT_EQ(redirected.err, "");
  EXPECT_EQ(redirected.out.find("% of 4.0 MB"), std::string::npos) << redirected.out;
}

TEST(Provision, HelpVersionAndLicensesAnswerWithoutConnectingOrWritingAnything) {
  Lab lab(uniqueLabName("help"), "qm");
  ASSERT_TRUE(lab.ok()) << lab.startError();
  TechnicianPc pc(lab);
  const std::vector<std::string> executableOnly = folderNames(pc.folder());

  ProcessResult help = pc.run({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.err, "");
  EXPECT_TRUE(help.out.starts_with("Usage: provision [mode [variant [calibration-subfolder]]]\n"))
      << help.out;
  for (const char* text :
       {"variant of the ZR configuration tool (default CN)", "\n  64 ", "\n  0 ",
        "Device:          " PROVISION_DEVICE_HOST, "Package server:  " PROVISION_FTP_HOST, "data\n",
        "provision.log\n", "provision --history [UID]\n", "provision-history.csv\n"})
    EXPECT_NE(help.out.find(text), std::string::npos) << text;
  EXPECT_EQ(pc.run({"-h", "1"}).out, help.out);

  // The program's line, then the libraries as they report themselves: libssh with its crypto
  // library, libcurl, and libzip with its zlib.
  ProcessResult version = pc.run({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.err, "");
  EXPECT_TRUE(std::regex_match(
      version.out,
      std::regex(R"(provision \d+\.\d+\.\d+( \(commit [0-9a-f]{7,}\))?\n)"
                 R"(libssh \d+\.\d+\.\d+ \(OpenSSL \d+\.\d+\.\d+\)( from Debian's .+)?\n)"
                 R"(libcurl \d+\.\d+\.\d+( \(.+\))?( from Debian's .+)?\n)"
                 R"(libzip \d+\.\d+\.\d+ \(zlib \d+\.\d+\.\d+\)( from Debian's .+)?\n)")))
      << version.out;

  ProcessResult licenses = pc.run({"--licenses"});
  EXPECT_EQ(licenses.status, 0);
  EXPECT_EQ(licenses.err, "");
  EXPECT_NE(licenses.out.find("libssh"), std::string::npos) << licenses.out;
  EXPECT_EQ(licenses.out.find("libssh2"), std::string::npos) << licenses.out;

  ProcessResult history = pc.run({"--history", "7F3A90C1"});
  EXPECT_EQ(history.status, 0);
  EXPECT_EQ(history.err, "");
  EXPECT_EQ(history.out, "No run is in the unit history yet (" + pc.shownPath(kHistory) + ")\n");

  EXPECT_EQ(countOf(lab.sshdLog(), "Connection from"), 0);
  EXPECT_EQ(folderNames(pc.folder()), executableOnly);
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
