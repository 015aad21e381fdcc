// Mode 2: the server package on QM units; the configuration tool and the unit's calibration files
// on ZR units.
#include <chrono>
#include <iostream>
#include <thread>

#include "install/workflows.h"
#include "log/run_log.h"
#include "settings/settings.h"
#include "workspace/workspace.h"

namespace provision {
namespace {

constexpr int kCountdownSeconds = 30;

// Gives the freshly installed configuration tool time to start before the device is queried.
void countDown() {
  std::cout << "Please wait 30s" << std::endl;
  for (int second = 1; second <= kCountdownSeconds; ++second) {
    // Kept as it stands: technicians know the countdown by this line.
    std::cout << "\rIt's been waiting for " << second << "s" << std::flush;
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  std::cout << std::endl;
}

int updateServerPackage(FtpSource* server) {
  const std::string remoteFolder = "/ProcessEquipment/QMServer/55/";
  const std::string pointerFileName = "QMServer_LatestVersion.txt";
  const std::string localFolder = dataFolder("QM");

  int status = installServerPackage(localFolder + kSep, remoteFolder, pointerFileName, server);
  if (status != 0)
    writeLog("Failed to install the server package, status " + std::to_string(status), kLogError);
  return status;
}

int updateConfigToolAndCalibration(FtpSource* server) {
  const std::string remoteFolder = "/ProcessEquipment/ZRConfig/55/" + settings.configVariant + "/";
  const std::string pointerFileName = "ZRConfig_LatestVersion.txt";
  const std::string localFolder = dataFolder("ZR") + kSep + settings.configVariant;
  createFolder(localFolder);

  const int installStatus =
      installConfigTool(localFolder + kSep, remoteFolder, pointerFileName, server);
  if (installStatus != 0)
    writeLog("Failed to install the configuration tool, status " + std::to_string(installStatus),
             kLogError);

  countDown();
  std::cout << "Query Calibration File" << std::endl;
  std::string model;
  std::string uid;
  int calibrationStatus = checkDevice(model, uid);
  if (calibrationStatus == kRunSucceeded) calibrationStatus = syncCalibration(model, uid, server);
  if (calibrationStatus != kRunSucceeded) {
    std::cout << "Failed to query calibration file" << std::endl;
    // The calibration's statuses say that the tool was installed; a tool that was not says so.
    return installStatus != 0 ? installStatus : calibrationStatus;
  }
  if (installStatus != 0) {
    writeLog(
        "The unit's calibration files were installed, but its configuration tool was not "
        "(status " +
            std::to_string(installStatus) + ")",
        kLogError);
    return installStatus;
  }
  writeLog("zr installed successfully", kLogInfo);
  return kRunSucceeded;
}

}  // namespace

int runPackageUpdate(FtpSource* server) {
  if (settings.deviceKind == DeviceKind::ZR) return updateConfigToolAndCalibration(server);
  return updateServerPackage(server);
}

}  // namespace provision
