// ZR units: puts the current configuration tool of the selected variant into the ordinary user's
// home folder and runs its install script.
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

namespace provision {
namespace {

// Lists the unpacked tool folders; the variant is appended as the last filter.
constexpr const char* kListingCommand =
    "ls /home/tqowmb/ | grep ZRConfig | grep -v grep | grep -v *.zip  | grep ";

// The command that runs the install script of the unpacked tool folder(s) the listing found. One
// folder goes in as one word; several, one per line, go in as the listing gave them.
std::string installCommand(const std::string& configFolderName) {
  const std::string folder = configFolderName.find('\n') == std::string::npos
                                 ? fileWord(kZrHome, configFolderName)
                                 : kZrHome + configFolderName;
  return "cd " + folder + "/ ; sh ./install.sh";
}

}  // namespace

int installConfigTool(std::string localFolder, std::string remoteFolder,
                      std::string pointerFileName, FtpSource* server) {
  SecuredPackage package;
  const int status = preparePackage(server, {localFolder, remoteFolder, pointerFileName}, package);
  const std::string& packageName = package.name;
  // Kept as it stands, like the lines below: technicians and log filters know these texts.
  if (status == kRunDownloadFailed) writeLog("Faile Down ZRConfig_LatestVersion", kLogError);
  if (status != 0) return status;

  SshLink link;
  link.open(kDeviceHost, kZrUser, kZrUserPassword);
  InstallSteps steps(link, packageName);
  std::string output;
  // The units' IP-configuration line, kept as it stands: the device's shell refuses it (exit
  // status 2) and the units were set up that way; what it does on them is theirs to say.
  steps.prepare("sh /root/IPConfig.sh & ; p", output);
  removeLeftovers(link, kZrHome);
  StagedUpload tool(link, kZrHome + packageName);
  const int uploadStatus = tool.upload(localFolder + packageName, true);
  // Until the new tool has arrived whole, the earlier one stays as it is.
  if (uploadStatus != 0) return reportFailedUpload(packageName, localFolder, uploadStatus);
  steps.prepare(kToolCleanUp, output);
  const int placeStatus = tool.place();
  if (placeStatus != 0) return reportFailedUpload(packageName, localFolder, placeStatus);
  notePackageOnDevice(package);
  const std::string archive = fileWord(kZrHome, packageName);
  steps.unpack("unzip -o " + archive + " -d /home/tqowmb/ ", output);
  steps.verify(kZrHome, package.files);
  steps.removeArchive("rm " + archive, output);
  if (steps.failed()) return steps.status();

  output.clear();
  link.runCommand(kListingCommand + grepPattern(settings.configVariant), output);
  // The listing without the line break that ends it.
  const std::string configFolderName = trimAnswer(output);
  std::cout << std::endl;
  writeLog(" Start install ZRConfig ", kLogInfo);
  steps.runScript("the install script", installCommand(configFolderName), output);
  return steps.status();
}

}  // namespace provision
