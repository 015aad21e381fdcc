// Mode 1: puts the current driver-and-library bundle on the device and lets it write the device
// report.
#include <iostream>

#include "device/device_account.h"
#include "device/shell_word.h"
#include "device/ssh_link.h"
#include "device/staged_upload.h"
#include "install/device_identity.h"
#include "install/install_steps.h"
#include "install/package_fetch.h"
#include "install/workflows.h"
#include "log/run_log.h"
#include "settings/settings.h"
#include "workspace/workspace.h"

namespace provision {
namespace {

constexpr const char* kBundleServerFolder = "/ProcessEquipment/Quorvex/";
constexpr const char* kBundlePointerFile = "DriverAndLib_LatestVersion.txt";
constexpr const char* kDeviceFolder = "/opt/";

int reportFailedBundle(int status) {
  writeLog("Failed to upload the driver and library bundle, status " + std::to_string(status),
           kLogError);
  return status;
}

// Writes the text up to its first line feed.
void printFirstLine(const std::string& text) { std::cout << text.substr(0, text.find('\n')); }

}  // namespace

int installDriverAndLib(FtpSource* server) {
  // While the package server answers, each line of the pointer file is followed by a pause; a
  // pointer file that is not there ends the workflow without a word.
  PackagePlace place{dataFolder("lib") + kSep, kBundleServerFolder, kBundlePointerFile,
                     server != nullptr ? PerLine::Pause : PerLine::None, false};
  SecuredPackage package;
  int status = preparePackage(server, place, package);
  if (status != 0) return status;
  const std::string& packageName = package.name;

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
  notePackageOnDevice(package);

  steps.unpack("unzip -o " + fileWord(kDeviceFolder, packageName) + " -d /opt/ ", output);
  steps.verify(kDeviceFolder, package.files);
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
