// ZR units: fetches the unit's calibration and configuration files and puts them on the device.
#include <algorithm>
#include <filesystem>
#include <iostream>
#include <memory>
#include <system_error>
#include <vector>

#include "device/device_account.h"
#include "device/ssh_link.h"
#include "device/staged_upload.h"
#include "ftp/ftp_source.h"
#include "install/calibration_log.h"
#include "install/device_identity.h"
#include "install/install_steps.h"
#include "install/unit_record.h"
#include "install/workflows.h"
#include "log/advice.h"
#include "log/run_log.h"
#include "log/unit_history.h"
#include "settings/settings.h"
#include "workspace/file_digest.h"
#include "workspace/filesystem.h"
#include "workspace/workspace.h"

namespace provision {
namespace {

constexpr const char* kCalibrationLog = "Cal_LatestFileLog.txt";
constexpr const char* kDeviceCalibrationFolder = "/opt/CalFile/";
// Raw measurement data stays on the package server.
constexpr const char* kRawDataMarker = ".tdms";

// Puts the uploaded calibration files into effect on the device.
constexpr const char* kFixUpCommand = "sh /opt/QMServer/shell/ZR_FixCalFile.sh";

// A folder beside the calibration files that collects this run's set while it downloads. Only a
// complete set moves on into the calibration folder; the folder itself goes when the object does,
// and a run that is killed leaves it to the next start-up, which removes it.
class StagingFolder {
 public:
  explicit StagingFolder(const std::string& parent) : path_(parent + kSep + makePartialName()) {
    createFolder(path_);
  }
  ~StagingFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(toFsPath(path_), ignored);
  }
  StagingFolder(const StagingFolder&) = delete;
  StagingFolder& operator=(const StagingFolder&) = delete;

  const std::string& path() const { return path_; }

  // Moves every file of the set into `folder`, replacing files of the same name. False when one
  // could not be moved.
  bool moveFilesInto(const std::string& folder) const {
    for (const std::string& name : listFiles(path_)) {
      std::error_code error;
      std::filesystem::rename(toFsPath(path_ + kSep + name), toFsPath(folder + kSep + name), error);
      if (error) return false;
    }
    return true;
  }

 private:
  std::string path_;
};

// Brings the calibration log, the current calibration folder and the configuration-file folder of
// the unit into `staging`. The two folders are one set: when any of their files cannot be fetched,
// the step fails. The calibration folder is the unit's calibration, so a log that names none, or a
// folder that is missing or cannot be listed, fails the step as well; a missing configuration-file
// folder only costs a warning. 0, 1 (the calibration folder or a file failed) or 2 (no calibration
// log can be read).
int fetchCalibrationSet(FtpSource& ftp, const std::string& unitFolder,
                        const StagingFolder& staging) {
  const std::string localFolder = dataFolder("CalFile");
  const std::string logPath = localFolder + kSep + kCalibrationLog;
  ftp.downloadFile(unitFolder + kCalibrationLog, localFolder);

  std::string calibrationFolderName;
  if (!readFirstLine(logPath, calibrationFolderName)) {
    writeLog("Can't open the file : " + logPath, kLogInfo);
    return kRunFileNotRead;
  }
  std::cout << calibrationFolderName << std::endl;
  noteCalibrationFolder(calibrationFolderName);

  if (calibrationFolderName.empty()) {
    writeLog("The calibration log " + logPath +
                 " names no calibration folder: none of the unit's calibration files was installed",
             kLogError);
    return kRunDownloadFailed;
  }

  FolderFetch fetched = ftp.fetchFolder(unitFolder + calibrationFolderName, staging.path());
  std::cout << std::endl;
  if (fetched.outcome == FolderFetch::Complete) {
    const std::string configFolder = unitFolder + "ConfigFile/" + settings.calibrationSubfolder;
    const FolderFetch config = ftp.fetchFolder(configFolder, staging.path());
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
  return kRunSucceeded;
}

// Puts the fetched set into the local calibration folder as `unit`'s. Files of another unit's set
// that a run cut off left there go first; the record is written before the files arrive, so that
// no file of the set is ever there without it. 0 or 1 (the folder cannot be written).
int storeCalibrationSet(const StagingFolder& staging, const UnitName& unit) {
  const std::string localFolder = dataFolder("CalFile");
  UnitName owner;
  if (heldForAnotherUnit(localFolder, unit, owner)) clearFolder(localFolder);
  if (writeUnitRecord(localFolder, unit) && staging.moveFilesInto(localFolder))
    return kRunSucceeded;
  // Part of the set may have moved already; none of it may stay.
  clearFolder(localFolder);
  writeLog("Failed to store the unit's calibration files in " + localFolder +
               ": none of them was installed",
           kLogError);
  return kRunDownloadFailed;
}

// Fetches the unit's calibration set from the package server into the local calibration folder.
// 0, 1 or 2 as fetchCalibrationSet().
int downloadCalibration(const UnitName& unit) {
  std::string unitFolder;
  if (!unitServerFolder(unit.label, unit.uid, unitFolder)) {
    writeLog("The device's UID or model label cannot name a folder on the package server",
             kLogError);
    return kRunCalibrationNotFound;
  }
  StagingFolder staging(dataFolder("CalFile"));
  FtpSource ftp;
  ftp.open();
  const int status = fetchCalibrationSet(ftp, unitFolder, staging);
  ftp.close();
  return status != 0 ? status : storeCalibrationSet(staging, unit);
}

// The raw data and the calibration log stay on this PC. Both filters are kept as they stand, a
// part anywhere in the name: units' sets rely on "x.tdms.bak" or a copy of the log not going up.
bool isUploaded(const std::string& name) {
  return name.find(kRawDataMarker) == std::string::npos &&
         name.find(kCalibrationLog) == std::string::npos && name != kUnitRecordName &&
         !isPartialDownloadName(name);
}

// While the package server does not answer, the local calibration folder must hold a set for this
// unit: files fetched for it, or files put there by hand (no record). 0 or kRunCalibrationNotFound
// (logged).
int checkOfflineSet(const UnitName& unit) {
  const std::string localFolder = dataFolder("CalFile");
  UnitName owner;
  if (heldForAnotherUnit(localFolder, unit, owner)) {
    writeLog("The calibration files in " + localFolder + " were fetched for the unit with UID " +
                 printable(owner.uid) + " and model label " + printable(owner.label) +
                 ", not for this one: none of them was uploaded, and this unit's calibration "
                 "needs the package server",
             kLogError);
  } else {
    const std::vector<std::string> names = listFiles(localFolder);
    if (std::any_of(names.begin(), names.end(), isUploaded)) return kRunSucceeded;
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

// Uploads the unit's calibration set from the local folder. Every file arrives under a temporary
// name first, and only once the whole set has arrived does each take its name: the device holds
// either its earlier set or the new one, never a mix. Returns the first failure's status; on a link
// that is open, a failure has its error line.
int uploadCalibrationSet(SshLink& link) {
  const std::string localFolder = dataFolder("CalFile");
  removeLeftovers(link, kDeviceCalibrationFolder);
  std::vector<std::unique_ptr<StagedUpload>> set;
  int firstFailure = 0;
  for (const std::string& name : listFiles(localFolder)) {
    if (!isUploaded(name)) continue;
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
  int status = settings.serverOnline ? downloadCalibration(unit) : checkOfflineSet(unit);
  if (status != 0) return status;

  SshLink link;
  status = link.open(kDeviceHost, kRootUser, kZrRootPassword);
  if (status != 0) {
    std::cout << std::endl;
    writeLog("Failed to upload calibration file", kLogError);
  }

  const int uploadStatus = uploadCalibrationSet(link);
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
