// ZR units: fetches the unit's calibration and configuration files and puts them on the device.
#include <algorithm>
#include <filesystem>
#include <iostream>
#include <iterator>
#include <memory>
#include <system_error>
#include <vector>

#include "device/device_account.h"
#include "device/ssh_link.h"
#include "device/staged_upload.h"
#include "ftp/ftp_source.h"
#include "install/calibration_log.h"
#include "install/calibration_set.h"
#include "install/device_identity.h"
#include "install/install_steps.h"
#include "install/unit_record.h"
#include "install/workflows.h"
#include "log/advice.h"
#include "log/run_log.h"
#include "log/text.h"
#include "log/unit_history.h"
#include "settings/settings.h"
#include "workspace/file_digest.h"
#include "workspace/filesystem.h"
#include "workspace/partial_name.h"
#include "workspace/workspace.h"

namespace provision {
namespace {

constexpr const char* kDeviceCalibrationFolder = "/opt/CalFile/";

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

// The set fetched for the unit: the folder its calibration log names, and every file that arrived
// (the log included) with the sub-folders its folders held.
struct FetchedSet {
  std::string calibrationFolder;
  std::vector<std::string> files;
  std::vector<std::string> folders;
};

std::string localLogPath() { return dataFolder("CalFile") + kSep + kCalibrationLog; }

// Brings the unit's calibration log into `staging`: the package server's copy, or, when that
// cannot be fetched, the copy that a cut-off run of this very unit left in the calibration folder.
// No other unit's log is ever read for it; when neither is there, reading the log says so.
void fetchCalibrationLog(FtpSource& ftp, const std::string& unitFolder, const UnitName& unit,
                         const StagingFolder& staging) {
  if (ftp.downloadFile(unitFolder + kCalibrationLog, staging.path()) == 0) return;
  if (!heldForUnit(dataFolder("CalFile"), unit)) return;
  std::error_code ignored;
  std::filesystem::copy_file(toFsPath(localLogPath()),
                             toFsPath(staging.path() + kSep + kCalibrationLog), ignored);
}

// Reads the calibration folder's name from the log in `staging`: 0, kRunFileNotRead (no log) or
// kRunCalibrationNotFound (the log names no folder inside the unit's folder); each failure logged.
int readCalibrationFolder(const std::string& unitFolder, const StagingFolder& staging,
                          std::string& name) {
  if (!readFirstLine(staging.path() + kSep + kCalibrationLog, name)) {
    writeLog("Can't open the file : " + localLogPath(), kLogInfo);
    return kRunFileNotRead;
  }
  std::cout << printable(name) << std::endl;
  noteCalibrationFolder(name);
  if (isOneServerFolderName(name)) return kRunSucceeded;
  const std::string log = unitFolder + kCalibrationLog;
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

// Brings the calibration log, the current calibration folder and the configuration-file folder of
// the unit into `staging`. The two folders are one set: when any of their files cannot be fetched,
// the step fails. The calibration folder is the unit's calibration, so a folder that is missing or
// cannot be listed fails the step as well; a missing configuration-file folder only costs a
// warning. 0, 1 (the calibration folder or a file failed), 2 (no calibration log can be read) or
// kRunCalibrationNotFound (the log names no folder of the unit).
int fetchCalibrationSet(FtpSource& ftp, const std::string& unitFolder, const UnitName& unit,
                        const StagingFolder& staging, FetchedSet& set) {
  fetchCalibrationLog(ftp, unitFolder, unit, staging);
  std::string name;
  const int status = readCalibrationFolder(unitFolder, staging, name);
  if (status != kRunSucceeded) return status;
  set.calibrationFolder = name;

  FolderFetch fetched = ftp.fetchFolder(unitFolder + name, staging.path());
  std::cout << std::endl;
  set.folders = fetched.folders;
  if (fetched.outcome == FolderFetch::Complete) {
    const std::string configFolder = unitFolder + "ConfigFile/" + settings.calibrationSubfolder;
    const FolderFetch config = ftp.fetchFolder(configFolder, staging.path());
    set.folders.insert(set.folders.end(), config.folders.begin(), config.folders.end());
    if (config.outcome == FolderFetch::Absent) {
      writeLog("The configuration-file folder " + configFolder +
                   " is not on the package server; the run goes on without it",
               kLogWarning);
    } else {
      fetched = config;
    }
  }
  if (fetched.outcome != FolderFetch::Complete) {
    writeLog("Failed to fetch " + fetched.failedPath +
                 ": none of the unit's calibration files was installed",
             kLogError);
    return kRunDownloadFailed;
  }
  set.files = listFiles(staging.path());
  return kRunSucceeded;
}

// A set that holds no file for the device installs nothing: the step fails and says what the
// package server holds instead. 0 or kRunCalibrationNotFound (logged).
int checkSetHoldsCalibration(const FetchedSet& set, const std::string& unitFolder,
                             const UnitName& unit) {
  if (std::any_of(set.files.begin(), set.files.end(), isCalibrationFile)) return kRunSucceeded;
  std::vector<std::string> others;
  std::copy_if(set.files.begin(), set.files.end(), std::back_inserter(others),
               [](const std::string& name) { return name != kCalibrationLog; });
  writeLog("The package server holds no calibration file for this unit (UID " +
               printable(unit.uid) + "): " + unitFolder + set.calibrationFolder + " and " +
               unitFolder + "ConfigFile/" + printable(settings.calibrationSubfolder) + " hold " +
               describeWithoutCalibration(others, set.folders) + "; none was installed",
           kLogError);
  advice::explain(advice::calibrationNotOnServer(unitFolder));
  return kRunCalibrationNotFound;
}

// Puts the fetched set into the local calibration folder as `unit`'s, and only it: whatever
// earlier runs left there goes first (another unit's set, this unit's from a run that was cut off,
// files put there by hand), and the record is written before the files arrive, so that no file of
// the set is ever there without it. 0 or 1 (the folder cannot be cleared or written).
int storeCalibrationSet(const StagingFolder& staging, const FetchedSet& set, const UnitName& unit) {
  const std::string localFolder = dataFolder("CalFile");
  clearFolder(localFolder);
  if (isEmptyFolder(localFolder) && writeUnitRecord(localFolder, unit) &&
      staging.moveInto(localFolder, set.files))
    return kRunSucceeded;
  // Part of the set may have moved already; none of it may stay.
  clearFolder(localFolder);
  writeLog("Failed to store the unit's calibration files in " + localFolder +
               ": none of them was installed",
           kLogError);
  return kRunDownloadFailed;
}

// Fetches the unit's calibration set from the package server into the local calibration folder;
// `files` receives the names of the set's files there. 0, 1, 2 or kRunCalibrationNotFound as
// fetchCalibrationSet() and checkSetHoldsCalibration().
int downloadCalibration(const UnitName& unit, std::vector<std::string>& files) {
  std::string unitFolder;
  if (!unitServerFolder(unit.label, unit.uid, unitFolder)) {
    writeLog("The device's UID or model label cannot name a folder on the package server",
             kLogError);
    return kRunCalibrationNotFound;
  }
  StagingFolder staging;
  FetchedSet set;
  FtpSource ftp;
  ftp.open();
  int status = fetchCalibrationSet(ftp, unitFolder, unit, staging, set);
  ftp.close();
  if (status == kRunSucceeded) status = checkSetHoldsCalibration(set, unitFolder, unit);
  if (status == kRunSucceeded) status = storeCalibrationSet(staging, set, unit);
  if (status == kRunSucceeded) files = set.files;
  return status;
}

// While the package server does not answer, the local calibration folder must hold a set for this
// unit: files fetched for it, or files put there by hand (no record); `files` receives their
// names. 0 or kRunCalibrationNotFound (logged).
int checkOfflineSet(const UnitName& unit, std::vector<std::string>& files) {
  const std::string localFolder = dataFolder("CalFile");
  UnitName owner;
  if (heldForAnotherUnit(localFolder, unit, owner)) {
    writeLog("The calibration files in " + localFolder + " were fetched for the unit with UID " +
                 printable(owner.uid) + " and model label " + printable(owner.label) +
                 ", not for this one: none of them was uploaded, and this unit's calibration "
                 "needs the package server",
             kLogError);
  } else {
    files = listFiles(localFolder);
    if (std::any_of(files.begin(), files.end(), isCalibrationFile)) return kRunSucceeded;
    writeLog("No calibration files for this unit are in " + localFolder +
                 ": none was installed, and the unit's calibration needs the package server",
             kLogError);
  }
  advice::explain(advice::calibrationNeedsServer(localFolder));
  return kRunCalibrationNotFound;
}

// Gives the unit history the set that took its names on the device: its files in `localFolder`.
void noteUploadedSet(const std::string& localFolder,
                     const std::vector<std::unique_ptr<StagedUpload>>& set) {
  std::vector<std::string> names;
  for (const auto& file : set) names.push_back(fileNameOf(file->target()));
  noteCalibrationSet(names.size(), fileSetSha256(localFolder, names));
}

// Uploads the calibration files among `files` from the local calibration folder. Every file
// arrives under a temporary name first, and only once the whole set has arrived does each take its
// name: the device holds either its earlier set or the new one, never a mix. Returns the first
// failure's status; on a link that is open, a failure has its error line.
int uploadCalibrationSet(SshLink& link, const std::vector<std::string>& files) {
  const std::string localFolder = dataFolder("CalFile");
  removeLeftovers(link, kDeviceCalibrationFolder);
  std::vector<std::unique_ptr<StagedUpload>> set;
  int firstFailure = 0;
  for (const std::string& name : files) {
    if (!isCalibrationFile(name)) continue;
    std::cout << std::endl;
    set.push_back(std::make_unique<StagedUpload>(link, kDeviceCalibrationFolder + name));
    const int status = set.back()->upload(localFolder + kSep + name, true);
    if (status != 0 && firstFailure == 0) firstFailure = status;
  }
  if (firstFailure != 0) {
    if (link.isOpen() || firstFailure == kSshStalled)
      writeLog("Failed to upload the unit's calibration files, status " +
                   std::to_string(firstFailure) + ": none of them was installed, and " +
                   kDeviceCalibrationFolder + " on the device is as it was",
               kLogError);
    return firstFailure;
  }
  if (set.empty()) {
    // The set was checked before; only a folder that changed under the run gets here.
    writeLog("No calibration file for this unit was left in " + localFolder + " to upload",
             kLogError);
    return kRunCalibrationNotFound;
  }
  for (const auto& file : set) {
    const int status = file->place();
    if (status == 0) continue;
    writeLog(file->target() + " could not take its name on the device (status " +
                 std::to_string(status) + "): the unit's calibration set there is incomplete",
             kLogError);
    return status;
  }
  noteUploadedSet(localFolder, set);
  return 0;
}

// Runs the device's script that puts the uploaded set into effect, judged like an install script:
// 0, the link's status, or kRunInstallFailed when it ended otherwise than with 0 (logged).
int fixUpCalibration(SshLink& link, std::string& output) {
  int exitStatus = kNoExitStatus;
  const int linkStatus = link.runCommand(kFixUpCommand, output, exitStatus);
  if (linkStatus != kSshOk) return linkStatus;
  if (exitStatus == 0) return kRunSucceeded;
  writeLog(std::string("The device could not put the unit's calibration into effect: ") +
               kFixUpCommand + " " + endingOf(exitStatus),
           kLogError);
  return kRunInstallFailed;
}

}  // namespace

int syncCalibration(const std::string& model, const std::string& uid) {
  const UnitName unit{uid, model};
  std::vector<std::string> files;
  int status =
      settings.serverOnline ? downloadCalibration(unit, files) : checkOfflineSet(unit, files);
  if (status != 0) return status;

  SshLink link;
  status = link.open(kDeviceHost, kRootUser, kZrRootPassword);
  if (status != 0) {
    std::cout << std::endl;
    writeLog("Failed to upload calibration file", kLogError);
  }

  const int uploadStatus = uploadCalibrationSet(link, files);
  if (status == 0) status = uploadStatus;

  std::string output;
  const int fixStatus = fixUpCalibration(link, output);
  if (status == 0) status = fixStatus;
  link.runCommand("rm -r /home/tqowmb/*ZRConfig*", output);

  std::cout << std::endl;
  if (settings.serverOnline) clearFolder(dataFolder("CalFile"));
  return status;
}

}  // namespace provision
