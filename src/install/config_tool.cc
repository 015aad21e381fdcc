// ZR units: puts the current configuration tool of the selected variant into the ordinary user's
// home folder and runs its install script.
#include <iostream>

#include "device/device_account.h"
#include "device/ssh_link.h"
#include "install/package_fetch.h"
#include "install/workflows.h"
#include "log/run_log.h"
#include "settings/settings.h"

namespace provision {
namespace {

constexpr const char* kHome = "/home/tqowmb/";
// Lists the unpacked tool folders; the variant is appended as the last filter.
constexpr const char* kListingCommand =
    "ls /home/tqowmb/ | grep ZRConfig | grep -v grep | grep -v *.zip  | grep ";

// The listing without the line break that ends it.
std::string dropLastCharacter(std::string text) {
  if (!text.empty()) text.pop_back();
  return text;
}

}  // namespace

int installConfigTool(std::string localFolder, std::string remoteFolder,
                      std::string pointerFileName) {
  std::string packageName;
  const int status = preparePackage(localFolder, remoteFolder, pointerFileName, packageName);
  if (status == 1) writeLog("Faile Down ZRConfig_LatestVersion", kLogError);
  if (status != 0) return status;

  SshLink link;
  link.open(kDeviceHost, kZrUser, kZrUserPassword);
  std::string output;
  link.runCommand("sh /root/IPConfig.sh & ; p", output);
  link.runCommand("rm -r /home/tqowmb/*ZRConfig*", output);
  const int uploadStatus = link.uploadFile(localFolder + packageName, kHome + packageName, true);
  link.runCommand("unzip /home/tqowmb/" + packageName + " -d /home/tqowmb/ ", output);
  link.runCommand("rm /home/tqowmb/" + packageName, output);

  output.clear();
  link.runCommand(kListingCommand + settings.configVariant, output);
  const std::string configFolderName = dropLastCharacter(output);
  std::cout << std::endl;
  writeLog(" Start install ZRConfig ", kLogInfo);
  const int installStatus =
      link.runCommand("cd /home/tqowmb/" + configFolderName + "/ ; sh ./install.sh", output);
  // A tool that never reached the device is not installed, whatever the script's channel said.
  if (uploadStatus != 0) return uploadStatus;
  return installStatus;
}

}  // namespace provision
