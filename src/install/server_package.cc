// QM units: puts the current server package into root's home folder and runs its install script.
#include <iostream>

#include "device/device_account.h"
#include "device/shell_word.h"
#include "device/ssh_link.h"
#include "device/staged_upload.h"
#include "install/install_steps.h"
#include "install/package_fetch.h"
#include "install/workflows.h"
#include "log/run_log.h"
#include "settings/settings.h"

namespace provision {
namespace {

constexpr const char* kRootHome = "/root/";

}  // namespace

int installServerPackage(std::string localFolder, std::string remoteFolder,
                         std::string pointerFileName, FtpSource* server) {
  SecuredPackage package;
  const int status = preparePackage(server, {localFolder, remoteFolder, pointerFileName}, package);
  if (status != 0) return status;
  const std::string& packageName = package.name;

  SshLink link;
  link.open(kDeviceHost, kRootUser, kQmRootPassword);
  InstallSteps steps(link, packageName);
  std::string output;
  removeLeftovers(link, kRootHome);
  StagedUpload upload(link, kRootHome + packageName);
  const int uploadStatus = upload.upload(localFolder + packageName, true);
  std::cout << std::endl;
  // Until the new package has arrived whole, the earlier installation stays as it is.
  if (uploadStatus != 0) return reportFailedUpload(packageName, localFolder, uploadStatus);
  steps.prepare("rm -r /root/QMServer*", output);
  const int placeStatus = upload.place();
  if (placeStatus != 0) return reportFailedUpload(packageName, localFolder, placeStatus);
  notePackageOnDevice(package);

  // The archive lies in root's starting folder, where the commands run.
  const std::string archive = fileWord("", packageName);
  steps.unpack("unzip -o " + archive, output);
  steps.verify(kRootHome, package.files);
  steps.removeArchive("rm " + archive, output);
  steps.runScript("the install script", "sh /root/QMServer/install.sh", output);
  std::cout << output << std::endl;
  return steps.status();
}

}  // namespace provision
