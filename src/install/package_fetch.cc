#include "install/package_fetch.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
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

std::uint64_t localSize(const std::string& path) {
  std::error_code error;
  const std::uintmax_t size = std::filesystem::file_size(toFsPath(path), error);
  return error ? 0 : static_cast<std::uint64_t>(size);
}

// A file's time as the lines show it, e.g. "2026-12-08 06:45:35 UTC".
std::string utcText(std::int64_t seconds) {
  using namespace std::chrono;
  const sys_seconds time{std::chrono::seconds(seconds)};
  const sys_days day = floor<days>(time);
  const year_month_day date(day);
  const hh_mm_ss clock(time - day);
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02u-%02u %02d:%02d:%02d UTC",
                static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                static_cast<unsigned>(date.day()), static_cast<int>(clock.hours().count()),
                static_cast<int>(clock.minutes().count()),
                static_cast<int>(clock.seconds().count()));
  return text;
}

// The error line of a damaged package and what the technician can do about it. `fetched`: the
// copy was just fetched (and removed); `earlierKept`: an earlier copy under its name stays.
int reportDamaged(const std::string& packageName, const std::string& localFolder,
                  const ArchiveCheck& check, bool fetched, bool earlierKept) {
  const std::string folder = withoutTrailingSeparator(localFolder);
  writeLog(
      "The package " + packageName + (fetched ? " fetched into " : " in ") + folder +
          " is damaged: " + check.problem + (fetched ? "; it was removed" : "") +
          (earlierKept ? ", and the earlier copy in " + folder + " is kept for offline runs" : "") +
          ". Nothing of it reached the device, which keeps its earlier installation",
      kLogError);
  recordFact("package check: " + packageName + " is damaged: " + check.problem);
  advice::explain(fetched ? advice::packageDamagedOnServer(packageName, settings.ftpHost)
                          : advice::packageDamagedLocally(packageName, folder));
  return kRunPackageDamaged;
}

// Fetches the package and checks the copy before it takes its name: only a whole, sound copy
// replaces an earlier one (`earlierKept`: there is one), and only then do the folder's other
// packages go (its pointer file stays, so a later offline run finds the package name).
int fetchPackage(FtpSource& ftp, const PackagePlace& place, const std::string& packageName,
                 bool earlierKept) {
  ArchiveCheck check;
  const int fetched = ftp.downloadFile(place.remoteFolder + packageName, place.localFolder,
                                       [&check](const std::string& path) {
                                         check = checkPackageArchive(path);
                                         return check.sound;
                                       });
  if (fetched == FtpSource::kDownloadRefused)
    return reportDamaged(packageName, place.localFolder, check, true, earlierKept);
  if (fetched != 0) {
    if (earlierKept)
      writeLog("The package " + packageName + " could not be fetched again; the earlier copy in " +
                   withoutTrailingSeparator(place.localFolder) + " is kept for offline runs",
               kLogWarning);
    return kRunDownloadFailed;
  }
  clearFolder(place.localFolder, {place.pointerFileName, packageName});
  return kRunSucceeded;
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

// Why the local copy at `localPath` is not the server's copy, as the line that says it is fetched
// again ends; empty when its size and its time are the server's. A copy counts as the server's
// only when the server tells both and both agree.
std::string whyNotTheServers(const std::string& packageName, const std::string& copy,
                             const std::string& localPath, const FtpFileFacts& server) {
  const std::uint64_t size = localSize(localPath);
  if (server.size && *server.size != size)
    return copy + " (" + std::to_string(size) + " bytes) differs from the package server's (" +
           std::to_string(*server.size) + " bytes)";
  const std::optional<std::int64_t> time = modifiedTime(localPath);
  if (server.modified && time && *server.modified != *time)
    return copy + " (" + utcText(*time) + ") differs from the package server's (" +
           utcText(*server.modified) + "), though of the same size";
  if (!server.size && !server.modified)
    return "The package server tells neither the size nor the time of " + packageName +
           ", so the copy cannot be matched with it";
  if (!server.modified || !time)
    return "The package server does not tell the time of " + packageName +
           ", so the copy cannot be matched with it";
  if (!server.size)
    return "The package server does not tell the size of " + packageName +
           ", so the copy cannot be matched with it";
  return {};
}

// What the local copy of the package is while the package server answers.
enum class LocalCopy {
  Current,   // the server's copy (size and time), and sound
  Outdated,  // not known to be the server's copy: fetched again, kept should that fail
  Damaged,   // the server's size and time, but damaged: removed and fetched again
};

// Judges the local copy of the package against the server's, and logs why it is fetched again.
LocalCopy judgeLocalCopy(FtpSource& ftp, const PackagePlace& place,
                         const std::string& packageName) {
  const std::string localPath = place.localFolder + packageName;
  const std::string copy =
      "The copy of " + packageName + " in " + withoutTrailingSeparator(place.localFolder);
  FtpFileFacts server;
  // A request that fails (no such file on the server) leaves the local copy to its check.
  if (ftp.describeRemote(place.remoteFolder + packageName, server) == 0) {
    const std::string why = whyNotTheServers(packageName, copy, localPath, server);
    if (!why.empty()) {
      writeLog(why + ": it is fetched again", kLogInfo);
      return LocalCopy::Outdated;
    }
  }
  const ArchiveCheck check = checkPackageArchive(localPath);
  if (check.sound) return LocalCopy::Current;
  writeLog(copy + " is damaged: " + check.problem + "; it is fetched again", kLogWarning);
  removeLocalFile(localPath);
  return LocalCopy::Damaged;
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
      return ftp == nullptr ? kRunSucceeded : fetchPackage(*ftp, place, packageName, false);
    case EntryType::File:
      break;
  }
  if (ftp == nullptr) {
    const ArchiveCheck check = checkPackageArchive(localPath);
    return check.sound ? kRunSucceeded
                       : reportDamaged(packageName, place.localFolder, check, false, false);
  }
  switch (judgeLocalCopy(*ftp, place, packageName)) {
    case LocalCopy::Current:
      return kRunSucceeded;
    case LocalCopy::Outdated:
      return fetchPackage(*ftp, place, packageName, true);
    case LocalCopy::Damaged:
      break;
  }
  return fetchPackage(*ftp, place, packageName, false);
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
