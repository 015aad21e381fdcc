// Mode 1: puts the current driver-and-library bundle on the device and lets it write the device
// report.
#include <iostream>

#include "device/device_account.h"
#include "device/shell_word.h"
#include "device/ssh_link.h"
#include "device/staged_upload.h"
#include "ftp/ftp_source.h"
#include "install/device_identity.h"
#include "install/install_steps.h"
#include "install/package_fetch.h"
#include "install/workflows.h"
#include "log/run_log.h"
#include "settings/settings.h"
#include "workspace/latest_version.h"
#include "workspace/workspace.h"

namespace provision {
namespace {

constexpr const char* kBundleServerFolder = "/ProcessEquipment/Quorvex/";
constexpr const char* kBundlePointerFile = "DriverAndLib_LatestVersion.txt";
constexpr const char* kDeviceFolder = "/opt/";

// Finds the bundle's name and secures a sound copy of the bundle (securePackage()). While the
// package server answers, the pointer file comes over the same connection, with a pause after
// each of its lines. kRunFileNotRead when there is no pointer file (unlogged) or it is none
// (logged).
int fetchBundle(std::string& packageName) {
  const PackagePlace place{dataFolder("lib") + kSep, kBundleServerFolder, kBundlePointerFile};
  if (!settings.serverOnline) {
    if (readLatestVersion(place.pointerPath(), PerLine::None, packageName) != PointerRead::Read)
      return kRunFileNotRead;
    return securePackage(nullptr, place, packageName);
  }
  FtpSource ftp;
  ftp.open();
  ftp.downloadFile(place.remoteFolder + place.pointerFileName, dataFolder("lib"));
  if (readLatestVersion(place.pointerPath(), PerLine::Pause, packageName) != PointerRead::Read)
    return kRunFileNotRead;
  const int status = securePackage(&ftp, place, packageName);
  ftp.close();
  return status;
}

int reportFailedBundle(int status) {
  writeLog("Failed to upload the driver and library bundle, status " + std::to_string(status),
           kLogError);
  return status;
}

// Writes the text up to its first line feed.
void printFirstLine(const std::string& text) { std::cout << text.substr(0, text.find('\n')); }

}  // namespace

int installDriverAndLib() {
  std::string packageName;
  int status = fetchBundle(packageName);
  if (status != 0) return status;

  SshLink link;
  const char* password = settings.deviceKind == DeviceKind::ZR ? kZrRootPassword : kQmRootPassword;
  const int openStatus = link.open(kDeviceHost, kRootUser, password);
  if (openStatus != 0)
    writeLog("Failed to connect to the device, status " + std::to_string(openStatus), kLogError);

  InstallSteps steps(link, packageName);
  std::string output;
  steps.prepare("mkdir /opt", output);
  removeLeftovers(link, kDeviceFolder);
  StagedUpload bundle(link, kDeviceFolder + packageName);
  const int uploadStatus = bundle.upload(dataFolder("lib") + kSep + packageName, false);
  // Until the new bundle has arrived whole, the earlier installations stay as they are.
  if (openStatus != 0) return openStatus;
  if (uploadStatus != 0) {
    explainMissingPackage(packageName, dataFolder("lib"), uploadStatus);
    return reportFailedBundle(uploadStatus);
  }
  steps.prepare("rm -r /opt/Install*", output);
  steps.prepare("rm -r /opt/QMServer*", output);
  steps.prepare("rm -r /opt/*ZRConfig*", output);
  const int placeStatus = bundle.place();
  if (placeStatus != 0) return reportFailedBundle(placeStatus);

  steps.unpack("unzip -o " + fileWord(kDeviceFolder, packageName) + " -d /opt/ ", output);
  steps.prepare("chmod 777 -R /opt *", output);
  steps.runScript("the dependency installer",
                  "cd /opt/Install_driverandlib/dependency/ ; sh install_zelkapi_lib.sh", output);
  steps.runScript("SystemRead", "/opt/Install_driverandlib/SystemRead > /opt/sys.log", output);

  output.clear();
  link.runCommand(kUidQuery, output);
  std::cout << output;
  output.clear();
  link.runCommand(kModelQuery, output);
  printFirstLine(output);
  std::cout.flush();

  return steps.status();
}

}  // namespace provision
