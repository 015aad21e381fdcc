#include "install/package_fetch.h"

#include <fstream>
#include <iterator>

#include "ftp/folder_listing.h"
#include "ftp/ftp_source.h"
#include "ftp/latest_version.h"
#include "log/run_log.h"
#include "settings/settings.h"
#include "workspace/workspace.h"

namespace provision {
namespace {

// Empties `folder` but puts its pointer file back afterwards.
void clearFolderKeeping(const std::string& folder, const std::string& keptName) {
  const std::string keptPath = folder + keptName;
  std::string kept;
  bool hadKept = false;
  {
    std::ifstream in(keptPath, std::ios::binary);
    if (in) {
      kept.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
      hadKept = true;
    }
  }
  clearFolder(folder);
  if (!hadKept) return;
  std::ofstream out(keptPath, std::ios::binary | std::ios::trunc);
  out << kept;
}

}  // namespace

int ensurePackage(FtpSource& ftp, const std::string& localFolder, const std::string& remoteFolder,
                  const std::string& pointerFileName, const std::string& packageName) {
  if (pathExists(localFolder + packageName)) return 0;
  clearFolderKeeping(localFolder, pointerFileName);
  return ftp.downloadFile(remoteFolder + packageName, localFolder) == 0 ? 0 : 1;
}

bool checkPackageName(const std::string& pointerPath, const std::string& packageName) {
  if (packageName.empty() || isSafeLocalName(packageName)) return true;
  writeLog("The pointer file " + pointerPath + " names \"" + printable(packageName) +
               "\", which cannot be the file name of a package; nothing was installed",
           kLogError);
  return false;
}

int preparePackage(const std::string& localFolder, const std::string& remoteFolder,
                   const std::string& pointerFileName, std::string& packageName) {
  const std::string pointerPath = localFolder + pointerFileName;
  if (readLatestVersion(pointerPath, PerLine::Echo, packageName) != 0) {
    writeLog("Can't open the file : " + pointerPath, kLogInfo);
    return 2;
  }
  if (!checkPackageName(pointerPath, packageName)) return 2;
  if (!settings.serverOnline) return 0;
  FtpSource ftp;
  ftp.open();
  return ensurePackage(ftp, localFolder, remoteFolder, pointerFileName, packageName);
}

void fetchPointerFile(const std::string& remotePath, const std::string& localFolder) {
  FtpSource ftp;
  ftp.open();
  ftp.downloadFile(remotePath, localFolder);
}

}  // namespace provision
