// ZR units: fetches the unit's calibration and configuration files and puts them on the device.
#include <algorithm>
#include <filesystem>
#include <iostream>
#include <system_error>
#include <vector>

#include "device/device_account.h"
#include "device/shell_word.h"
#include "device/ssh_link.h"
#include "ftp/ftp_source.h"
#include "install/calibration_log.h"
#include "install/calibration_set.h"
#include "install/device_identity.h"
#include "install/install_steps.h"
#include "install/unit_check.h"
#include "install/unit_record.h"
#include "install/workflows.h"
#include "log/advice.h"
#include "log/run_log.h"
#include "log/text.h"
#include "log/unit_history.h"
#include "package/file_digest.h"
#include "settings/settings.h"
#include "workspace/filesystem.h"
#include "workspace/partial_name.h"
#include "workspace/workspace.h"

namespace provision {
namespace {

constexpr const char* kDeviceCalibrationFolder = "/opt/CalFile";
// What the device's calibration folder held before the set now in it.
constexpr const char* kPreviousCalibrationFolder = "/opt/CalFile.previous";
// Where a set arrives on the device before it takes the calibration folder's place, beside it.
constexpr const char* kDeviceStagingParent = "/opt/";

// Puts the uploaded calibration files into effect on the device.
constexpr const char* kFixUpCommand = "sh /opt/QMServer/shell/ZR_FixCalFile.sh";

// A folder in the data folder, beside the calibration folder and out of reach of its clearing, that
// collects this run's set while it downloads. Only a complete set moves on into the calibration
// folder; the folder itself goes when the object does, and a run that is killed leaves it to the
// next start-up, which removes it.
class StagingFolder {
 public:
  StagingFolder() : path_(dataFolder() + kSep + makePartialName()) { createFolder(path_); }
  ~StagingFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(toFsPath(path_), ignored);
  }
  StagingFolder(const StagingFolder&) = delete;
  StagingFolder& operator=(const StagingFolder&) = delete;

  const std::string& path() const { return path_; }

  // Moves the files `names` of the set into `folder`, replacing files of the same name. False
  // when one could not be moved.
  bool moveInto(const std::string& folder, const std::vector<std::string>& names) const {
    for (const std::string& name : names) {
      std::error_code error;
      std::filesystem::rename(toFsPath(path_ + kSep + name), toFsPath(folder + kSep + name), error);
      if (error) return false;
    }
    return true;
  }

 private:
  std::string path_;
};

std::string localFolder() { return dataFolder("CalFile"); }

// The error line of a file or folder of the unit's set that could not be had from the package
// server, which answered at the start. Returns kRunDownloadFailed.
int reportUnfetched(const std::string& what, const FtpSource& ftp) {
  writeLog(what + " could not be fetched from the package server at " + settings.ftpHost + ": " +
               ftp.failureText() + "; none of the unit's calibration files was installed",
           kLogError);
  return kRunDownloadFailed;
}

// Reads the calibration folder's name from the log in `staging`: 0, kRunFileNotRead (no log) or
// kRunCalibrationNotFound (the log names no folder inside the unit's folder); each failure logged.
int readCalibrationFolder(const std::string& unitFolder, const StagingFolder& staging,
                          std::string& name) {
  const std::string log = unitFolder + kCalibrationLog;
  if (!readFirstLine(staging.path() + kSep + kCalibrationLog, name)) {
    writeLog("Can't open the file : " + log, kLogInfo);
    return kRunFileNotRead;
  }
  std::cout << printable(name) << std::endl;
  noteCalibrationFolder(name);
  if (isOneServerFolderName(name)) return kRunSucceeded;
  if (name.empty()) {
    writeLog("The calibration log " + log +
                 " names no calibration folder: none of the unit's calibration files was installed",
             kLogError);
  } else {
    writeLog("The calibration log " + log + " names \"" + printable(name) +
                 "\", which is not one folder inside the unit's folder: none of the unit's "
                 "calibration files was installed",
             kLogError);
  }
  advice::explain(advice::calibrationLogUnusable(log));
  return kRunCalibrationNotFound;
}

// How the listing of a folder of the unit's set went.
enum class Listing {
  Listed,   // `entries` holds its entries
  Empty,    // it is there and holds nothing
  Missing,  // its parent holds no such folder: `siblings` names the folders it does hold
  Failed,   // it could not be listed (the server refused to enter it, or failed): logged
};

// Lists the folder `name` in the server folder `parent` (ending with "/"). A folder the server
// will not enter is told apart from one that is not there by the listing of its parent.
Listing listSetFolder(FtpSource& ftp, const std::string& parent, const std::string& name,
                      std::vector<FtpEntry>& entries, std::vector<std::string>& siblings) {
  const std::string folder = parent + name;
  if (ftp.listFolder(folder, entries) == 0) return Listing::Listed;
  if (ftp.lastFailure() == FtpFailure::Missing) return Listing::Empty;
  if (ftp.lastFailure() == FtpFailure::NotEntered) {
    std::vector<FtpEntry> parentEntries;
    if (ftp.listFolder(parent, parentEntries) == 0 || ftp.lastFailure() == FtpFailure::Missing) {
      bool there = false;
      for (const FtpEntry& entry : parentEntries) {
        if (!entry.isFolder || entry.name == "." || entry.name == "..") continue;
        if (entry.name == name) there = true;
        siblings.push_back(entry.name);
      }
      if (!there) return Listing::Missing;
      writeLog("The package server at " + settings.ftpHost + " refused to enter " + folder +
                   ", which is there: none of the unit's calibration files was installed",
               kLogError);
      advice::explain(advice::folderNotEntered(folder, settings.ftpHost));
      return Listing::Failed;
    }
  }
  reportUnfetched("The listing of " + folder, ftp);
  return Listing::Failed;
}

// Lists the unit's two folders: the calibration folder `name` and the configuration-file folder
// (with the run's sub-folder, when it was given). 0, kRunDownloadFailed or
// kRunCalibrationNotFound (a folder that must be there is not); logged.
int listCalibrationSet(FtpSource& ftp, const std::string& unitFolder, const std::string& name,
                       std::vector<FtpEntry>& calibration, std::vector<FtpEntry>& configuration) {
  std::vector<std::string> siblings;
  switch (listSetFolder(ftp, unitFolder, name, calibration, siblings)) {
    case Listing::Listed:
    case Listing::Empty:
      break;
    case Listing::Missing:
      writeLog("The calibration folder " + unitFolder + printable(name) +
                   " that the unit's calibration log names is not on the package server: none of "
                   "the unit's calibration files was installed",
               kLogError);
      advice::explain(advice::calibrationNotOnServer(unitFolder));
      return kRunCalibrationNotFound;
    case Listing::Failed:
      return kRunDownloadFailed;
  }
  const std::string& subfolder = settings.calibrationSubfolder;
  const std::string parent = subfolder.empty() ? unitFolder : unitFolder + "ConfigFile/";
  siblings.clear();
  switch (listSetFolder(ftp, parent, subfolder.empty() ? "ConfigFile" : subfolder, configuration,
                        siblings)) {
    case Listing::Listed:
    case Listing::Empty:
      return kRunSucceeded;
    case Listing::Failed:
      return kRunDownloadFailed;
    case Listing::Missing:
      break;
  }
  if (subfolder.empty()) {
    // A unit without configuration files of its own has its calibration folder alone.
    writeLog("The configuration-file folder " + unitFolder +
                 "ConfigFile is not on the package server; the run goes on without it",
             kLogWarning);
    return kRunSucceeded;
  }
  std::sort(siblings.begin(), siblings.end());
  std::string there;
  for (const std::string& sibling : siblings)
    there += (there.empty() ? "" : ", ") + printable(sibling);
  writeLog("The calibration sub-folder \"" + printable(subfolder) + "\" is not in " + parent +
               " on the package server, which holds " +
               (there.empty() ? std::string("no sub-folders") : "the sub-folders " + there) +
               ": none of the unit's calibration files was installed",
           kLogError);
  advice::explain(advice::calibrationSubfolderMissing(subfolder, parent));
  return kRunCalibrationNotFound;
}

// The line of a set that is not whole. kRunCalibrationNotFound.
int reportIncompleteSet(const CalibrationPlan& plan, const std::string& calibrationFolder,
                        const std::string& configurationFolder, const UnitName& unit) {
  std::string where;
  switch (plan.where) {
    case CalibrationPlan::InCalibration:
      where = calibrationFolder;
      break;
    case CalibrationPlan::InConfiguration:
      where = configurationFolder;
      break;
    case CalibrationPlan::InBoth:
      where = calibrationFolder + " and " + configurationFolder + " together";
      break;
  }
  writeLog("The package server holds no whole calibration set for this unit (UID " +
               printable(unit.uid) + "): " + where + " holds " + plan.problem +
               "; none of the unit's calibration files was installed",
           kLogError);
  advice::explain(advice::calibrationSetIncomplete(calibrationFolder));
  return kRunCalibrationNotFound;
}

// Fetches the files of `names` from the server folder `folder` into `staging`. 0 or
// kRunDownloadFailed (logged).
int fetchFiles(FtpSource& ftp, const std::string& folder, const std::vector<std::string>& names,
               const StagingFolder& staging) {
  for (const std::string& name : names) {
    if (ftp.downloadFile(folder + "/" + name, staging.path()) != 0)
      return reportUnfetched("The calibration file " + folder + "/" + printable(name), ftp);
  }
  return kRunSucceeded;
}

// Puts the fetched set into the local calibration folder as `unit`'s, and only it: whatever
// earlier runs left there goes first (another unit's set, this unit's from a run that was cut off,
// files put there by hand), and the record is written before the files arrive, so that no file of
// the set is ever there without it. 0 or kRunDownloadFailed (the folder cannot be cleared or
// written).
int storeCalibrationSet(const StagingFolder& staging, const std::vector<std::string>& files,
                        const UnitName& unit) {
  const std::string folder = localFolder();
  clearFolder(folder);
  if (isEmptyFolder(folder) && writeUnitRecord(folder, unit) && staging.moveInto(folder, files))
    return kRunSucceeded;
  // Part of the set may have moved already; none of it may stay.
  clearFolder(folder);
  writeLog(
      "Failed to store the unit's calibration files in " + folder + ": none of them was installed",
      kLogError);
  return kRunDownloadFailed;
}

// Fetches the unit's calibration set from the package server into the local calibration folder;
// `files` receives the names of the set's files there. Every entry of the unit's folders is
// accounted for before anything is fetched. 0, kRunDownloadFailed, kRunFileNotRead or
// kRunCalibrationNotFound; each failure logged.
int downloadCalibration(FtpSource& ftp, const UnitName& unit, std::vector<std::string>& files) {
  std::string unitFolder;
  if (!unitServerFolder(unit.label, unit.uid, unitFolder)) {
    writeLog("The device's UID or model label cannot name a folder on the package server",
             kLogError);
    return kRunCalibrationNotFound;
  }
  if (ftp.reopen() != 0) return reportUnfetched("The unit's calibration set", ftp);
  StagingFolder staging;
  if (ftp.downloadFile(unitFolder + kCalibrationLog, staging.path()) != 0)
    return reportUnfetched("The calibration log " + unitFolder + kCalibrationLog, ftp);
  std::string name;
  int status = readCalibrationFolder(unitFolder, staging, name);
  if (status != kRunSucceeded) return status;

  std::vector<FtpEntry> calibration;
  std::vector<FtpEntry> configuration;
  status = listCalibrationSet(ftp, unitFolder, name, calibration, configuration);
  if (status != kRunSucceeded) return status;
  const std::string calibrationFolder = unitFolder + name;
  const std::string configurationFolder =
      unitFolder + "ConfigFile" +
      (settings.calibrationSubfolder.empty() ? "" : "/" + settings.calibrationSubfolder);
  const CalibrationPlan plan =
      planCalibrationSet(calibration, configuration, !settings.calibrationSubfolder.empty());
  if (!plan.problem.empty())
    return reportIncompleteSet(plan, calibrationFolder, configurationFolder, unit);

  status = fetchFiles(ftp, calibrationFolder, plan.fromCalibration, staging);
  if (status == kRunSucceeded)
    status = fetchFiles(ftp, configurationFolder, plan.fromConfiguration, staging);
  std::cout << std::endl;
  if (status != kRunSucceeded) return status;
  files = plan.files();
  return storeCalibrationSet(staging, files, unit);
}

// While the package server does not answer, the local calibration folder must hold a set for this
// unit: files fetched for it, or files put there by hand (no record); `files` receives the names
// of its calibration files. 0 or kRunCalibrationNotFound (logged).
int checkOfflineSet(const UnitName& unit, std::vector<std::string>& files) {
  const std::string folder = localFolder();
  UnitName owner;
  if (heldForAnotherUnit(folder, unit, owner)) {
    writeLog("The calibration files in " + folder + " were fetched for the unit with UID " +
                 printable(owner.uid) + " and model label " + printable(owner.label) +
                 ", not for this one: none of them was uploaded, and this unit's calibration "
                 "needs the package server",
             kLogError);
  } else {
    for (const std::string& name : listFiles(folder)) {
      if (isCalibrationFile(name)) files.push_back(name);
    }
    if (!files.empty()) return kRunSucceeded;
    writeLog("No calibration files for this unit are in " + folder +
                 ": none was installed, and the unit's calibration needs the package server",
             kLogError);
  }
  advice::explain(advice::calibrationNeedsServer(folder));
  return kRunCalibrationNotFound;
}

// The command that puts the arrived set in `staging` in the place of the device's calibration
// folder, which becomes the previous set (replacing the one before); should the set not take the
// place, the earlier one goes back.
std::string swapCommand(const std::string& staging) {
  const std::string current = kDeviceCalibrationFolder;
  const std::string previous = kPreviousCalibrationFolder;
  return "rm -rf " + previous + " && { [ ! -e " + current + " ] || mv " + current + " " + previous +
         "; } && { mv " + pathWord(staging) + " " + current + " || { mv " + previous + " " +
         current + "; exit 1; }; }";
}

// The device's calibration set, on its way: the files go up into a folder of their own beside the
// device's calibration folder, the unit computes the SHA-256 of each, and only when every one is
// the PC's does the folder take the calibration folder's place. Until then, and whenever a step
// fails, the device keeps its earlier set as it was.
class DeviceSet {
 public:
  explicit DeviceSet(SshLink& link)
      : link_(link), staging_(kDeviceStagingParent + makePartialName()) {}
  // A set that never took its place goes, as long as the link still answers.
  ~DeviceSet() {
    if (!onDevice_ || placed_) return;
    std::string ignored;
    link_.runCommand("rm -rf " + pathWord(staging_), ignored);
  }
  DeviceSet(const DeviceSet&) = delete;
  DeviceSet& operator=(const DeviceSet&) = delete;

  // Uploads the files `names` of the local calibration folder and has the unit check them. 0, or
  // the failing step's status (logged where the link has not said it).
  int upload(const std::vector<std::string>& names) {
    std::string output;
    // What runs that were cut off left: their staging folders, nothing else.
    link_.runCommand("rm -rf " + std::string(kDeviceStagingParent) + partialNameGlob(), output);
    int exitStatus = kNoExitStatus;
    const int linkStatus = link_.runCommand("mkdir " + pathWord(staging_), output, exitStatus);
    if (linkStatus != kSshOk) return failed(linkStatus);
    onDevice_ = true;
    if (exitStatus != 0) return failed(kSshRemoteOpenFailed);
    for (const std::string& name : names) {
      std::cout << std::endl;
      const int status = link_.uploadFile(localFolder() + kSep + name,
                                          std::string(kDeviceCalibrationFolder) + "/" + name, true,
                                          staging_ + "/" + name);
      if (status != kSshOk) return failed(status);
      expected_.push_back({name, fileSha256(localFolder() + kSep + name)});
    }
    return check();
  }

  // Puts the checked set in the calibration folder's place. 0, the link's status, or
  // kRunInstallFailed (logged).
  int place() {
    std::string output;
    int exitStatus = kNoExitStatus;
    const int linkStatus = link_.runCommand(swapCommand(staging_), output, exitStatus);
    if (linkStatus != kSshOk) return linkStatus;
    if (exitStatus != 0) {
      writeLog(std::string("The device could not put the unit's calibration set in place of ") +
                   kDeviceCalibrationFolder + " " + endingOf(exitStatus) +
                   ": its earlier set stays in effect",
               kLogError);
      return kRunInstallFailed;
    }
    placed_ = true;
    noteCalibrationSet(digests_.size(), setSha256(digests_));
    return kRunSucceeded;
  }

 private:
  int check() {
    const UnitCheck check = checkOnUnit(link_, staging_, expected_);
    switch (check.outcome) {
      case UnitCheck::Matches:
        digests_ = check.digests;
        noteDeviceCheck(true);
        return kRunSucceeded;
      case UnitCheck::LinkFailed:
        return failed(check.linkStatus);
      case UnitCheck::NoTool:
        return refused("the unit has no sha256sum to check them with");
      case UnitCheck::Differs:
        return refused(check.problem);
    }
    return kRunInstallFailed;
  }

  int refused(const std::string& why) {
    noteDeviceCheck(false);
    writeLog("The unit's calibration files did not arrive as they were sent: " + why +
                 "; none of them was installed, and " + kDeviceCalibrationFolder +
                 " on the device is as it was",
             kLogError);
    return kRunInstallFailed;
  }

  int failed(int status) {
    if (link_.isOpen() || status == kSshStalled)
      writeLog("Failed to upload the unit's calibration files, status " + std::to_string(status) +
                   ": none of them was installed, and " + kDeviceCalibrationFolder +
                   " on the device is as it was",
               kLogError);
    return status;
  }

  SshLink& link_;
  const std::string staging_;
  std::vector<ArchiveFile> expected_;
  std::map<std::string, std::string> digests_;
  bool onDevice_ = false;
  bool placed_ = false;
};

// Runs the device's script that puts the placed set into effect, judged like an install script:
// 0, the link's status, or kRunInstallFailed when it ended otherwise than with 0 (logged).
int fixUpCalibration(SshLink& link) {
  std::string output;
  int exitStatus = kNoExitStatus;
  const int linkStatus = link.runCommand(kFixUpCommand, output, exitStatus);
  if (linkStatus != kSshOk) return linkStatus;
  if (exitStatus == 0) return kRunSucceeded;
  writeLog(std::string("The device could not put the unit's calibration into effect: ") +
               kFixUpCommand + " " + endingOf(exitStatus),
           kLogError);
  return kRunInstallFailed;
}

// Puts the set `files` of the local calibration folder on the device and into effect, then clears
// the configuration tool's install folders. kRunSucceeded or the first failure's status.
int installOnDevice(const std::vector<std::string>& files) {
  SshLink link;
  const int openStatus = link.open(kDeviceHost, kRootUser, kZrRootPassword);
  if (openStatus != kSshOk) {
    // Nothing of the set can reach a unit that the link did not reach; the link has said why
    // when the unit stopped answering.
    std::cout << std::endl;
    writeLog("Failed to upload calibration file", kLogError);
    return openStatus;
  }
  int status = kRunSucceeded;
  {
    DeviceSet set(link);
    status = set.upload(files);
    if (status == kRunSucceeded) status = set.place();
  }
  if (status == kRunSucceeded) status = fixUpCalibration(link);
  std::string output;
  link.runCommand(kToolCleanUp, output);
  return status;
}

}  // namespace

int syncCalibration(const std::string& model, const std::string& uid, FtpSource* server) {
  const UnitName unit{uid, model};
  std::vector<std::string> files;
  int status =
      server != nullptr ? downloadCalibration(*server, unit, files) : checkOfflineSet(unit, files);
  if (status != kRunSucceeded) return status;
  status = installOnDevice(files);
  std::cout << std::endl;
  // An online run leaves no set behind: the next run fetches its unit's anew.
  if (server != nullptr) clearFolder(localFolder());
  return status;
}

}  // namespace provision
