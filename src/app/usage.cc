#include "app/usage.h"

#include "app/console.h"
#include "device/ssh_link.h"
#include "install/run_status.h"
#include "log/history_table.h"
#include "log/run_record.h"
#include "log/unit_history.h"
#include "workspace/workspace.h"

namespace provision {
namespace {

// The statuses first..last of a run, with what they mean.
struct StatusMeaning {
  int first;
  int last;
  const char* text;
};

constexpr StatusMeaning kStatusMeanings[] = {
    {kRunSucceeded, kRunSucceeded, "success"},
    {kRunNoDevice, kRunDownloadFailed,
     "the device refused both root passwords or was unreachable, or a file the run needs could "
     "not be fetched from the package server that answered at the start"},
    {kRunFileNotRead, kRunFileNotRead,
     "a pointer file or the calibration log could not be opened, or a pointer file is none (no "
     "text, too long) or names no package file"},
    {kRunInstallFailed, kRunInstallFailed,
     "the device could not install the package (a step failed there, or what it unpacked is not "
     "the package), or could not put the unit's calibration into effect"},
    {kRunPackageDamaged, kRunPackageDamaged,
     "a package is damaged, a unit's unzip would unpack it wrongly, or it is not the one its "
     "digest file names (it failed the check on this PC); nothing of it reached the device"},
    {kRunCalibrationNotFound, kRunCalibrationNotFound,
     "the unit's calibration was not found: its report names no UID, model or board, its "
     "calibration log names no folder of its own, the package server holds no whole calibration "
     "set for it (or not the calibration sub-folder given), or, offline, no calibration files "
     "for this unit are in the data folder"},
    {kRunBadArgument, kRunBadArgument,
     "the first argument is not a number, or the variant cannot name a folder; nothing was "
     "started"},
    {kRunInternalError, kRunInternalError,
     "an unexpected error ended the run (standard error and the run record say which)"},
    {kRunFolderBusy, kRunFolderBusy, "another run was using this folder; this one did nothing"},
    {kSshSftpInitFailed, kSshSocketLibraryFailed, "a step on the device failed: opening the link"},
    {kSshExecFailed, kSshChannelFailed, "a step on the device failed: a command"},
    {kSshWriteFailed, kSshRemoteOpenFailed, "a step on the device failed: an upload"},
    {kSshStalled, kSshStalled, "a step on the device failed: the device stopped answering"},
    {kSshRenameFailed, kSshRenameFailed,
     "a step on the device failed: an uploaded file could not take its name"},
};

std::string rangeText(int first, int last) {
  if (first == last) return std::to_string(first);
  return std::to_string(first) + ".." + std::to_string(last);
}

// One line of the exit-status table: the status as the caller sees it, its meaning, and the
// code of the failed step when the caller sees another number.
std::string statusLine(const StatusMeaning& meaning) {
  const int first = exitStatusSeen(meaning.first);
  const int last = exitStatusSeen(meaning.last);
  std::string line = "  " + rangeText(first, last);
  line.resize(12, ' ');
  line += meaning.text;
  if (first == meaning.first) return line + "\n";
  const char* codes = meaning.first == meaning.last ? " (code " : " (codes ";
  return line + codes + rangeText(meaning.first, meaning.last) + ")\n";
}

std::string otherHelpSwitches() {
  const std::string platform = platformHelpSwitch();
  return platform.empty() ? "-h" : "-h or " + platform;
}

}  // namespace

std::string versionNumber() { return PROVISION_VERSION; }

std::string commitId() { return PROVISION_COMMIT; }

std::string versionText() {
  const std::string commit = commitId();
  std::string text = "provision " + versionNumber();
  return commit.empty() ? text : text + " (commit " + commit + ")";
}

std::string usageText(const std::string& folder) {
  std::string text =
      "Usage: provision [mode [variant [calibration-subfolder]]]\n"
      "       provision --help      this text (also " +
      otherHelpSwitches() +
      ")\n"
      "       provision --version   the program's version and the libraries it links\n"
      "       provision --licenses  the copyright notices and licences of those libraries\n"
      "       provision --history [UID]\n"
      "                             the unit history: that unit's runs, or the last " +
      std::to_string(kHistoryShownRows) +
      " runs\n"
      "\n"
      "Brings the software and the calibration data of a QM or ZR measuring device onto it,\n"
      "from the package server.\n"
      "\n"
      "Arguments, all optional, in this order:\n"
      "  mode                   1: installs the driver-and-library bundle\n"
      "                         2 (default): installs the server package on a QM unit; the\n"
      "                           configuration tool and the unit's calibration files on a ZR "
      "unit\n"
      "                         any other number: only probes the device and prepares the folders\n"
      "  variant                variant of the ZR configuration tool (default CN)\n"
      "  calibration-subfolder  sub-folder of the unit's ConfigFile folder on the package server\n"
      "                         (default: none, the ConfigFile folder itself)\n"
      "\n"
      "Exit statuses:\n";
  for (const StatusMeaning& meaning : kStatusMeanings) text += statusLine(meaning);
  return text +
         "\n"
         "Device:          " PROVISION_DEVICE_HOST
         " (SSH)\n"
         "Package server:  " PROVISION_FTP_HOST
         " (FTP)\n"
         "Data folder:     " +
         folder + kSep +
         "data\n"
         "Run record:      " +
         folder + kSep + kRecordFileName +
         "\n"
         "Unit history:    " +
         folder + kSep + kHistoryFileName + "\n";
}

std::string exitStatusMeaning(int status) {
  for (const StatusMeaning& meaning : kStatusMeanings) {
    if (status < meaning.first || status > meaning.last) continue;
    if (status >= 0) return meaning.text;
    return std::string(meaning.text) + ", code " + std::to_string(status);
  }
  return "not a status of this program";
}

}  // namespace provision
