// QM units: puts the current server package into root's home folder and runs its install script.
#include <iostream>

#include "device/device_account.h"
#include "device/ssh_link.h"
#include "install/package_fetch.h"
#include "install/workflows.h"
#include "log/run_log.h"
#include "settings/settings.h"

namespace provision {

int installServerPackage(std::string localFolder, std::string remoteFolder,
                         std::string pointerFileName) {
  std::string packageName;
  const int status = preparePackage(localFolder, remoteFolder, pointerFileName, packageName);
  if (status != 0) return status;

  SshLink link;
  link.open(kDeviceHost, kRootUser, kQmRootPassword);
  std::string output;
  link.runCommand("rm -r /root/QMServer*", output);
  const int uploadStatus = link.uploadFile(localFolder + packageName, "/root/" + packageName, true);
  std::cout << std::endl;
  link.runCommand("unzip " + packageName, output);
  link.runCommand("rm " + packageName, output);
  link.runCommand("sh /root/QMServer/install.sh", output);
  std::cout << output << std::endl;
  return uploadStatus;
}

}  // namespace provision
