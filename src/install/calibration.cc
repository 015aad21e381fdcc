// ZR units: fetches the unit's calibration and configuration files and puts them on the device.
#include <fstream>
#include <iostream>

#include "device/device_account.h"
#include "device/ssh_link.h"
#include "ftp/ftp_source.h"
#include "install/calibration_log.h"
#include "install/device_identity.h"
#include "install/workflows.h"
#include "log/run_log.h"
#include "settings/settings.h"
#include "workspace/workspace.h"

namespace provision {
namespace {

constexpr const char* kCalibrationLog = "Cal_LatestFileLog.txt";
constexpr const char* kDeviceCalibrationFolder = "/opt/CalFile/";
// Raw measurement data stays on the package server.
constexpr const char* kRawDataMarker = ".tdms";

// Brings the calibration log, the current calibration folder and the configuration-file folder of
// the unit into the local calibration folder. 0, or 2 when no calibration log can be read.
int downloadCalibration(const std::string& model, const std::string& uid) {
  std::string unitFolder;
  if (!unitServerFolder(model, uid, unitFolder)) {
    writeLog("The device's UID or model label cannot name a folder on the package server",
             kLogError);
    return 2;
  }
  const std::string localFolder = dataFolder("CalFile");
  const std::string logPath = localFolder + kSep + kCalibrationLog;

  FtpSource ftp;
  ftp.open();
  ftp.downloadFile(unitFolder + kCalibrationLog, localFolder);

  std::string calibrationFolderName;
  bool hasLine = false;
  if (!readFirstLine(logPath, calibrationFolderName, hasLine)) {
    writeLog("Can't open the file : " + logPath, kLogInfo);
    return 2;
  }
  std::cout << calibrationFolderName << std::endl;
  // An empty log names no folder; there is nothing to fetch for it.
  if (hasLine) ftp.downloadFolder(unitFolder + calibrationFolderName, localFolder);
  std::cout << std::endl;
  ftp.downloadFolder(unitFolder + "ConfigFile/" + settings.calibrationSubfolder, localFolder);
  ftp.close();
  return 0;
}

bool isUploaded(const std::string& name) {
  return name.find(kRawDataMarker) == std::string::npos &&
         name.find(kCalibrationLog) == std::string::npos;
}

// Uploads every calibration file of the local folder. Returns the first failed upload's status.
int uploadCalibrationFiles(SshLink& link) {
  const std::string localFolder = dataFolder("CalFile");
  int firstFailure = 0;
  for (const std::string& name : listFiles(localFolder)) {
    if (!isUploaded(name)) continue;
    std::cout << std::endl;
    int status = link.uploadFile(localFolder + kSep + name, kDeviceCalibrationFolder + name, true);
    if (status != 0 && firstFailure == 0) firstFailure = status;
  }
  return firstFailure;
}

}  // namespace

int syncCalibration(const std::string& model, const std::string& uid) {
  if (settings.serverOnline) {
    int status = downloadCalibration(model, uid);
    if (status != 0) return status;
  }

  SshLink link;
  int status = link.open(kDeviceHost, kRootUser, kZrRootPassword);
  if (status != 0) {
    std::cout << std::endl;
    writeLog("Failed to upload calibration file", kLogError);
  }

  const int uploadStatus = uploadCalibrationFiles(link);
  if (status == 0 && uploadStatus != 0) {
    writeLog("Failed to upload calibration file", kLogError);
    status = uploadStatus;
  }

  std::string output;
  link.runCommand("sh /opt/QMServer/shell/ZR_FixCalFile.sh", output);
  link.runCommand("rm -r /home/tqowmb/*ZRConfig*", output);

  std::cout << std::endl;
  if (status == 0) writeLog("zr installed successfully", kLogInfo);
  if (settings.serverOnline) clearFolder(dataFolder("CalFile"));
  return status;
}

}  // namespace provision
