// QM units: puts the current server package into root's home folder and runs its install script.
#include <iostream>

#include "app/settings.h"
#include "device/device_account.h"
#include "device/ssh_link.h"
#include "ftp/ftp_source.h"
#include "ftp/latest_version.h"
#include "install/package_fetch.h"
#include "install/workflows.h"
#include "log/run_log.h"

namespace provision {

int installServerPackage(std::string localFolder, std::string remoteFolder,
                         std::string pointerFileName) {
  std::string packageName;
  if (readLatestVersion(localFolder + pointerFileName, PerLine::Echo, packageName) != 0) {
    writeLog("Can't open the file : " + localFolder + pointerFileName, kLogInfo);
    return 2;
  }

  if (settings.serverOnline) {
    FtpSource ftp;
    ftp.open();
    if (ensurePackage(ftp, localFolder, remoteFolder, pointerFileName, packageName) != 0) return 1;
  }

  SshLink link;
  link.open(kDeviceHost, kRootUser, kQmRootPassword);
  std::string output;
  link.runCommand("rm -r /root/QMServer*", output);
  const int status = link.uploadFile(localFolder + packageName, "/root/" + packageName, true);
  std::cout << std::endl;
  link.runCommand("unzip " + packageName, output);
  link.runCommand("rm " + packageName, output);
  link.runCommand("sh /root/QMServer/install.sh", output);
  std::cout << output << std::endl;
  return status;
}

}  // namespace provision
