#include "install/package_fetch.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include "ftp/ftp_source.h"
#include "log/advice.h"
#include "log/run_log.h"
#include "log/run_record.h"
#include "log/unit_history.h"
#include "settings/settings.h"
#include "workspace/file_digest.h"
#include "workspace/filesystem.h"
#include "workspace/latest_version.h"
#include "workspace/local_name.h"
#include "workspace/package_archive.h"
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

std::uint64_t localSize(const std::string& path) {
  std::error_code error;
  const std::uintmax_t size = std::filesystem::file_size(toFsPath(path), error);
  return error ? 0 : static_cast<std::uint64_t>(size);
}

// The error line of a damaged package and what the technician can do about it.
int reportDamaged(const std::string& packageName, const std::string& localFolder,
                  const ArchiveCheck& check, bool removed) {
  const std::string folder = withoutTrailingSeparator(localFolder);
  writeLog("The package " + packageName + (removed ? " fetched into " : " in ") + folder +
               " is damaged: " + check.problem + (removed ? "; it was removed" : "") +
               ". Nothing of it reached the device, which keeps its earlier installation",
           kLogError);
  recordFact("package check: " + packageName + " is damaged: " + check.problem);
  advice::explain(removed ? advice::packageDamagedOnServer(packageName, settings.ftpHost)
                          : advice::packageDamagedLocally(packageName, folder));
  return kRunPackageDamaged;
}

// Empties the folder (but its pointer file), fetches the package and checks what arrived.
int fetchPackage(FtpSource& ftp, const PackagePlace& place, const std::string& packageName) {
  clearFolderKeeping(place.localFolder, place.pointerFileName);
  if (ftp.downloadFile(place.remoteFolder + packageName, place.localFolder) != 0)
    return kRunDownloadFailed;
  const std::string localPath = place.localFolder + packageName;
  const ArchiveCheck check = checkPackageArchive(localPath);
  if (check.sound) return kRunSucceeded;
  removeLocalFile(localPath);
  return reportDamaged(packageName, place.localFolder, check, true);
}

// Whether the name that the pointer file at `pointerPath` gives can name a package: UTF-8 text
// that is one file name in its folder, without a control character. An empty name is no package
// either, but its upload fails and says so. Logs one error line naming the pointer file when it
// cannot.
bool checkPackageName(const std::string& pointerPath, const std::string& packageName) {
  if (packageName.empty()) return true;
  // A name in another code page than UTF-8 (Notepad's "ANSI") names no file here.
  const bool utf8 = isUtf8(packageName);
  if (utf8 && isSafeLocalName(packageName)) return true;
  writeLog("The pointer file " + pointerPath + " names \"" + printable(packageName) +
               (utf8 ? "\", which cannot be the file name of a package"
                     : "\", which is not UTF-8 text (save the pointer file as UTF-8)") +
               "; nothing was installed",
           kLogError);
  return false;
}

// Whether the local copy of the package is to be fetched again while the server answers: a
// rebuilt package put back under its name differs in size, and a damaged copy is no package. Logs
// why.
bool fetchAgain(FtpSource& ftp, const PackagePlace& place, const std::string& packageName) {
  const std::string localPath = place.localFolder + packageName;
  const std::string copy =
      "The copy of " + packageName + " in " + withoutTrailingSeparator(place.localFolder);
  std::uint64_t serverSize = 0;
  const std::uint64_t size = localSize(localPath);
  if (ftp.remoteSize(place.remoteFolder + packageName, serverSize) == 0 && serverSize != size) {
    writeLog(copy + " (" + std::to_string(size) + " bytes) differs from the package server's (" +
                 std::to_string(serverSize) + " bytes): it is fetched again",
             kLogInfo);
    return true;
  }
  const ArchiveCheck check = checkPackageArchive(localPath);
  if (check.sound) return false;
  writeLog(copy + " is damaged: " + check.problem + "; it is fetched again", kLogWarning);
  return true;
}

// securePackage() but for the note of the archive's digest.
int secureCopy(FtpSource* ftp, const PackagePlace& place, const std::string& packageName) {
  if (!checkPackageName(place.pointerPath(), packageName)) return kRunFileNotRead;
  const std::string localPath = place.localFolder + packageName;
  switch (entryType(localPath)) {
    case EntryType::Directory:
      // Something else under the package's name (an empty name names the folder itself) is left
      // to the upload, which fails and says so.
      return kRunSucceeded;
    case EntryType::None:
      // Offline, a package that is not there is left to the upload as well.
      return ftp == nullptr ? kRunSucceeded : fetchPackage(*ftp, place, packageName);
    case EntryType::File:
      break;
  }
  if (ftp == nullptr) {
    const ArchiveCheck check = checkPackageArchive(localPath);
    return check.sound ? kRunSucceeded
                       : reportDamaged(packageName, place.localFolder, check, false);
  }
  return fetchAgain(*ftp, place, packageName) ? fetchPackage(*ftp, place, packageName)
                                              : kRunSucceeded;
}

}  // namespace

int securePackage(FtpSource* ftp, const PackagePlace& place, const std::string& packageName) {
  const int status = secureCopy(ftp, place, packageName);
  // The unit history keeps the digest of the archive that passed the check; a folder or a file
  // that is not there (left to the upload to report) has none.
  if (status == kRunSucceeded) notePackageSha256(fileSha256(place.localFolder + packageName));
  return status;
}

int preparePackage(const PackagePlace& place, std::string& packageName) {
  switch (readLatestVersion(place.pointerPath(), PerLine::Echo, packageName)) {
    case PointerRead::Read:
      break;
    case PointerRead::NotOpened:
      writeLog("Can't open the file : " + place.pointerPath(), kLogInfo);
      return kRunFileNotRead;
    case PointerRead::Refused:
      return kRunFileNotRead;
  }
  if (!settings.serverOnline) return securePackage(nullptr, place, packageName);
  FtpSource ftp;
  ftp.open();
  return securePackage(&ftp, place, packageName);
}

void fetchPointerFile(const std::string& remotePath, const std::string& localFolder) {
  FtpSource ftp;
  ftp.open();
  ftp.downloadFile(remotePath, localFolder);
}

}  // namespace provision
