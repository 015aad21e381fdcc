#include "app/provision.h"

#include <chrono>
#include <exception>
#include <iostream>
#include <thread>

#include "app/arguments.h"
#include "app/console.h"
#include "app/libraries.h"
#include "app/notices.h"
#include "app/usage.h"
#include "ftp/ftp_source.h"
#include "install/probe.h"
#include "install/run_status.h"
#include "install/workflows.h"
#include "log/run_log.h"
#include "log/run_record.h"
#include "settings/settings.h"
#include "workspace/folder_lock.h"
#include "workspace/workspace.h"

namespace provision {
namespace {

constexpr auto kModeOneExitWait = std::chrono::milliseconds(1000);
constexpr auto kModeTwoExitWait = std::chrono::milliseconds(5000);

int runModeOne() {
  int status = installDriverAndLib();
  std::this_thread::sleep_for(kModeOneExitWait);
  return status;
}

int runModeTwo() {
  int status = runPackageUpdate();
  if (status != kRunSucceeded) return status;
  std::cout << " Successful installation " << std::endl;
  std::cout << "The program will exit after 5 seconds " << std::endl;
  std::this_thread::sleep_for(kModeTwoExitWait);
  return kRunSucceeded;
}

int runWorkflow(int argc, const char* const* argv, const std::string& startTime) {
  std::string error = applyArguments(argc, argv, settings);
  if (!error.empty()) {
    std::cerr << error << std::endl;
    return kRunBadArgument;
  }

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
  if (probeStatus != kRunSucceeded) return probeStatus;
  recordFact(settings.deviceKind == DeviceKind::ZR ? "device line: ZR" : "device line: QM");

  // The connection stays open while the folders are made.
  FtpSource server;
  prepareWorkspace(checkPackageServer(server));
  recordFact(settings.serverOnline ? "package server: online"
                                   : "package server: offline, the run works from the data folder");

  switch (settings.mode) {
    case 1:
      return runModeOne();
    case 2:
      return runModeTwo();
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

// The run, with its entry in the run record beside the executable.
int recordedRun(int argc, const char* const* argv) {
  const std::string folder = executableFolder();
  RunRecord record(folder + kSep + kRecordFileName, startText(argc, argv, folder));
  int status = kRunInternalError;
  // Nothing is expected to throw; what still does ends the run with a status of its own and the
  // record's end line, not with the runtime's abort.
  try {
    status = runWorkflow(argc, argv, record.startTime());
  } catch (const std::exception& error) {
    std::cerr << "The run ended on an unexpected error: " << printable(error.what()) << std::endl;
  } catch (...) {
    std::cerr << "The run ended on an unexpected error" << std::endl;
  }
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
    case Request::Run:
      break;
  }
  const int status = recordedRun(argc, argv);
  if (waitsBeforeClosing(consoleProcessCount(), status)) waitForEnter();
  return status;
}

}  // namespace provision
