#include "app/provision.h"

#include <chrono>
#include <cstdio>
#include <exception>
#include <iostream>
#include <thread>

#include "app/arguments.h"
#include "app/console.h"
#include "app/history_view.h"
#include "app/libraries.h"
#include "app/notices.h"
#include "app/start_up.h"
#include "app/usage.h"
#include "ftp/ftp_source.h"
#include "install/probe.h"
#include "install/run_status.h"
#include "install/workflows.h"
#include "log/history_file.h"
#include "log/run_log.h"
#include "log/run_record.h"
#include "log/unit_history.h"
#include "settings/settings.h"
#include "workspace/folder_lock.h"
#include "workspace/workspace.h"

namespace provision {
namespace {

constexpr auto kModeOneExitWait = std::chrono::milliseconds(1000);
constexpr auto kModeTwoExitWait = std::chrono::milliseconds(5000);

// The modes' workflows. Each sets the wait before the program ends, which the caller keeps once
// the run's outcome is written down: a technician who closes the window during it loses nothing.
int runModeOne(FtpSource* server, std::chrono::milliseconds& exitWait) {
  int status = installDriverAndLib(server);
  exitWait = kModeOneExitWait;
  return status;
}

int runModeTwo(FtpSource* server, std::chrono::milliseconds& exitWait) {
  int status = runPackageUpdate(server);
  if (status != kRunSucceeded) return status;
  std::cout << " Successful installation " << std::endl;
  std::cout << "The program will exit after 5 seconds " << std::endl;
  exitWait = kModeTwoExitWait;
  return kRunSucceeded;
}

int runWorkflow(int argc, const char* const* argv, const std::string& startTime,
                HistoryEntry& history, std::chrono::milliseconds& exitWait) {
  std::string error = applyArguments(argc, argv, settings);
  if (!error.empty()) {
    std::cerr << error << std::endl;
    return kRunBadArgument;
  }
  settings.downloadProgress = standardErrorIsConsole();

  // One run at a time in this folder: a second one would empty and refill the same data folders
  // and work on the same device at the same time.
  FolderLock lock;
  std::string heldBy;
  const std::string owner =
      "process " + std::to_string(currentProcessId()) + ", started " + startTime;
  if (lock.acquire(executableFolder() + kSep + kLockFileName, owner, heldBy) ==
      FolderLock::Result::Held) {
    std::cerr << "Another run of provision is using this folder"
              << (heldBy.empty() ? "" : " (" + heldBy + ")")
              << "; wait until it has ended, then start this run again" << std::endl;
    return kRunFolderBusy;
  }

  int probeStatus = probeDeviceKind();
  // A run the device refused has its row too, with the unit's columns empty.
  history.keep();
  if (probeStatus != kRunSucceeded) return probeStatus;
  const std::string line = settings.deviceKind == DeviceKind::ZR ? "ZR" : "QM";
  recordFact("device line: " + line);
  history.set(kHistoryDeviceLine, line);

  // The start-up check's connection is the run's one connection to the package server: a server
  // that lets an address hold one connection at a time serves the whole run.
  FtpSource server;
  FtpSource* online = startWorkspace(server);
  recordFact(settings.serverOnline ? "package server: online"
                                   : "package server: offline, the run works from the data folder");
  history.set(kHistoryServer, settings.serverOnline ? "online" : "offline");

  switch (settings.mode) {
    case 1:
      return runModeOne(online, exitWait);
    case 2:
      return runModeTwo(online, exitWait);
    default:
      return kRunSucceeded;
  }
}

std::string startText(int argc, const char* const* argv, const std::string& folder) {
  std::string text = "start: " + versionText() + "; libraries:";
  const char* separator = " ";
  for (const std::string& library : linkedLibraries()) {
    text += separator + library;
    separator = ", ";
  }
  text += "; arguments:";
  if (argc < 2) text += " none";
  for (int i = 1; i < argc; ++i) text += " \"" + std::string(argv[i]) + "\"";
  return text + "; folder: " + folder;
}

// Completes the run's row of the unit history and appends it to the file in `folder`. A file that
// cannot be written costs a line on standard error, and the row goes into the run record.
void writeHistoryRow(const std::string& folder, RunRecord& record, HistoryEntry& history,
                     int status) {
  history.set(kHistoryStart, historyTime(record.startedAt()));
  history.set(kHistoryStation, stationName());
  history.set(kHistoryVersion, versionNumber());
  history.set(kHistoryCommit, commitId());
  history.set(kHistoryMode, std::to_string(settings.mode));
  history.set(kHistoryVariant, settings.configVariant);
  history.set(kHistorySubfolder, settings.calibrationSubfolder);
  history.set(kHistoryExitStatus, std::to_string(exitStatusSeen(status)));
  history.set(kHistoryMeaning, exitStatusMeaning(status));
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f", record.seconds());
  history.set(kHistorySeconds, seconds);

  const std::string path = folder + kSep + kHistoryFileName;
  if (appendHistoryRow(path, history.row())) return;
  const std::string row = historyRecordText(history.row());
  // Without a record, the line itself keeps the row.
  std::cerr << "Cannot write the unit history " << path << "; "
            << (record.kept() ? "the run record keeps this run's row" : "this run's row: " + row)
            << std::endl;
  record.addLine("history: " + row);
}

// The run, with its entry in the run record and its row in the unit history beside the
// executable.
int recordedRun(int argc, const char* const* argv) {
  const std::string folder = executableFolder();
  RunRecord record(folder + kSep + kRecordFileName, startText(argc, argv, folder));
  HistoryEntry history;
  std::chrono::milliseconds exitWait{0};
  int status = kRunInternalError;
  // Nothing is expected to throw; what still does ends the run with a status of its own and the
  // record's end line, not with the runtime's abort.
  try {
    status = runWorkflow(argc, argv, record.startTime(), history, exitWait);
  } catch (const std::exception& error) {
    std::cerr << "The run ended on an unexpected error: " << printable(error.what()) << std::endl;
  } catch (...) {
    std::cerr << "The run ended on an unexpected error" << std::endl;
  }
  if (history.kept()) writeHistoryRow(folder, record, history, status);
  std::this_thread::sleep_for(exitWait);
  record.end("end: exit status " + std::to_string(exitStatusSeen(status)) + " (" +
             exitStatusMeaning(status) + ")");
  return status;
}

void waitForEnter() {
  std::cout << "Press Enter to close this window." << std::endl;
  std::string line;
  std::getline(std::cin, line);
}

}  // namespace

int runProvision(int argc, const char* const* argv) {
  switch (requestOf(argc, argv)) {
    case Request::Help:
      std::cout << usageText(executableFolder()) << std::flush;
      return kRunSucceeded;
    case Request::Version:
      std::cout << versionText() << '\n';
      for (const std::string& library : linkedLibraries()) std::cout << library << '\n';
      std::cout << std::flush;
      return kRunSucceeded;
    case Request::Licenses:
      std::cout << noticesText() << std::flush;
      return kRunSucceeded;
    case Request::History:
      return showHistory(executableFolder(), argc > 2 ? argv[2] : "");
    case Request::Run:
      break;
  }
  const int status = recordedRun(argc, argv);
  if (waitsBeforeClosing(consoleProcessCount(), status)) waitForEnter();
  return status;
}

}  // namespace provision
