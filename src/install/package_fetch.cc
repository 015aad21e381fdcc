#include "install/package_fetch.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <optional>
#include <system_error>
#include <thread>

#include "ftp/ftp_source.h"
#include "log/advice.h"
#include "log/run_log.h"
#include "log/run_record.h"
#include "log/text.h"
#include "log/unit_history.h"
#include "package/digest_file.h"
#include "package/file_digest.h"
#include "package/latest_version.h"
#include "settings/settings.h"
#include "workspace/filesystem.h"
#include "workspace/local_name.h"
#include "workspace/workspace.h"

namespace provision {
namespace {

constexpr auto kPausePerLine = std::chrono::milliseconds(1000);

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

std::string keptText(bool earlierKept, const std::string& localFolder) {
  return earlierKept ? ", and the earlier copy in " + withoutTrailingSeparator(localFolder) +
                           " is kept for offline runs"
                     : "";
}

// The error line of a file the step needs that could not be had from the package server, which
// answered at the start: the step fails, whatever copy of it this PC has.
int reportUnfetched(const std::string& what, const FtpSource& ftp, const std::string& localFolder,
                    bool earlierKept) {
  writeLog(what + " could not be fetched from the package server at " + settings.ftpHost + ": " +
               ftp.failureText() + "; nothing was installed" + keptText(earlierKept, localFolder),
           kLogError);
  return kRunDownloadFailed;
}

// The error line of a package that failed its check and what the technician can do about it.
// `fetched`: the copy was just fetched (and removed); `earlierKept`: an earlier copy under its name
// stays.
int reportDamaged(const std::string& packageName, const std::string& localFolder,
                  const std::string& problem, bool fetched, bool earlierKept) {
  const std::string folder = withoutTrailingSeparator(localFolder);
  writeLog("The package " + packageName + (fetched ? " fetched into " : " in ") + folder +
               " is damaged: " + problem + (fetched ? "; it was removed" : "") +
               keptText(earlierKept, localFolder) +
               ". Nothing of it reached the device, which keeps its earlier installation",
           kLogError);
  recordFact("package check: " + packageName + " is damaged: " + problem);
  advice::explain(fetched ? advice::packageDamagedOnServer(packageName, settings.ftpHost)
                          : advice::packageDamagedLocally(packageName, folder));
  return kRunPackageDamaged;
}

// The error line of a fetched package whose SHA-256 is not the one its digest file names.
int reportDigestMismatch(const std::string& packageName, const std::string& localFolder,
                         const std::string& sha256, const std::string& published,
                         bool earlierKept) {
  const std::string problem = "its SHA-256 is " + sha256 + ", but " + digestFileName(packageName) +
                              " on the package server names " + published;
  writeLog("The package " + packageName + " fetched into " + withoutTrailingSeparator(localFolder) +
               " is not the one its digest file names: " + problem + "; it was removed" +
               keptText(earlierKept, localFolder) +
               ". Nothing of it reached the device, which keeps its earlier installation",
           kLogError);
  recordFact("package check: " + packageName + " does not match its digest file: " + problem);
  advice::explain(advice::packageDigestMismatch(packageName, settings.ftpHost));
  return kRunPackageDamaged;
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

// Why the local copy at `localPath` is not the server's copy by size and time, as the line that
// says it is fetched again ends; empty when its size and its time are the server's. A copy counts
// as the server's only when the server tells both and both agree.
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

// One package's way from the package server to the local folder while the server answers.
class PackageFetch {
 public:
  PackageFetch(FtpSource& ftp, const PackagePlace& place, SecuredPackage& package)
      : ftp_(ftp),
        place_(place),
        package_(package),
        remotePath_(place.remoteFolder + package.name),
        localPath_(place.localPath(package.name)),
        copy_("The copy of " + package.name + " in " +
              withoutTrailingSeparator(place.localFolder)) {}

  int secure() {
    const int status = readDigest();
    if (status != kRunSucceeded) return status;
    if (entryType(localPath_) != EntryType::File) return fetch(false);
    switch (judgeLocalCopy()) {
      case LocalCopy::Current:
        return kRunSucceeded;
      case LocalCopy::Outdated:
        return fetch(true);
      case LocalCopy::Damaged:
        return fetch(false);
      case LocalCopy::Unmatched:
        return kRunDownloadFailed;
    }
    return kRunDownloadFailed;
  }

 private:
  enum class LocalCopy {
    Current,    // the server's copy (by its digest, or its size and time), and sound
    Outdated,   // not known to be the server's copy: fetched again, kept should that fail
    Damaged,    // the server's by size and time, but damaged: removed and fetched again
    Unmatched,  // the server could not be asked: the step fails (logged)
  };

  // The SHA-256 the package server publishes beside the package, when it does. 0,
  // kRunDownloadFailed or kRunPackageDamaged (a digest file that gives none); logged.
  int readDigest() {
    const std::string digestPath = remotePath_ + ".sha256";
    std::string content;
    switch (ftp_.readFile(digestPath, kDigestFileLimit, content)) {
      case 0:
        break;
      case FtpSource::kNotOnServer:
        return kRunSucceeded;
      default:
        return reportUnfetched("The digest file " + digestPath, ftp_, place_.localFolder,
                               entryType(localPath_) == EntryType::File);
    }
    const std::string problem = digestFor(content, package_.name, published_);
    if (problem.empty()) return kRunSucceeded;
    writeLog("The digest file " + digestPath + " on the package server at " + settings.ftpHost +
                 " " + problem + "; nothing was installed",
             kLogError);
    recordFact("package check: " + digestFileName(package_.name) + " " + problem);
    advice::explain(advice::digestFileUnusable(digestPath, settings.ftpHost));
    return kRunPackageDamaged;
  }

  // Judges the local copy against the server's, and logs why it is fetched again.
  LocalCopy judgeLocalCopy() {
    if (!published_.empty()) {
      const std::string sha256 = fileSha256(localPath_);
      if (sha256 != published_) {
        writeLog(copy_ + " is not the one " + digestFileName(package_.name) +
                     " on the package server names: it is fetched again",
                 kLogInfo);
        return LocalCopy::Outdated;
      }
      return checkLocalCopy(sha256, kCheckedByDigest);
    }
    FtpFileFacts server;
    if (ftp_.describeRemote(remotePath_, server) != 0) {
      reportUnfetched("The size and time of " + package_.name, ftp_, place_.localFolder, true);
      return LocalCopy::Unmatched;
    }
    if (const std::string why = whyNotTheServers(package_.name, copy_, localPath_, server);
        !why.empty()) {
      writeLog(why + ": it is fetched again", kLogInfo);
      return LocalCopy::Outdated;
    }
    return checkLocalCopy(fileSha256(localPath_), kCheckedBySizeAndTime);
  }

  LocalCopy checkLocalCopy(const std::string& sha256, const char* check) {
    const ArchiveCheck archive = checkPackageArchive(localPath_);
    if (archive.sound) {
      keep(archive, sha256, check);
      return LocalCopy::Current;
    }
    writeLog(copy_ + " is damaged: " + archive.problem + "; it is fetched again", kLogWarning);
    removeLocalFile(localPath_);
    return LocalCopy::Damaged;
  }

  // Fetches the package and checks the copy before it takes its name: only a whole, sound copy
  // that matches the published digest replaces an earlier one (`earlierKept`: there is one), and
  // only then do the folder's other packages go (its pointer file stays, so a later offline run
  // finds the package name).
  int fetch(bool earlierKept) {
    ArchiveCheck archive;
    std::string sha256;
    const int fetched =
        ftp_.downloadFile(remotePath_, place_.localFolder, [&](const std::string& path) {
          archive = checkPackageArchive(path);
          if (archive.sound) sha256 = fileSha256(path);
          return archive.sound && (published_.empty() || sha256 == published_);
        });
    if (fetched == FtpSource::kDownloadRefused) {
      if (!archive.sound)
        return reportDamaged(package_.name, place_.localFolder, archive.problem, true, earlierKept);
      return reportDigestMismatch(package_.name, place_.localFolder, sha256, published_,
                                  earlierKept);
    }
    if (fetched != 0)
      return reportUnfetched("The package " + package_.name, ftp_, place_.localFolder, earlierKept);
    clearFolder(place_.localFolder, {place_.pointerFileName, package_.name});
    keep(archive, sha256, published_.empty() ? kCheckedDownloaded : kCheckedByDigest);
    return kRunSucceeded;
  }

  void keep(const ArchiveCheck& archive, const std::string& sha256, const char* check) {
    package_.files = archive.files;
    package_.sha256 = sha256;
    package_.check = check;
  }

  FtpSource& ftp_;
  const PackagePlace& place_;
  SecuredPackage& package_;
  const std::string remotePath_;
  const std::string localPath_;
  const std::string copy_;
  // The SHA-256 that the server's digest file names; empty when it publishes none.
  std::string published_;
};

// Checks the local copy while the package server does not answer.
int checkOfflineCopy(const PackagePlace& place, SecuredPackage& package) {
  const std::string localPath = place.localPath(package.name);
  // A package that is not there (or something else under its name) is left to the upload, which
  // fails and says so.
  if (entryType(localPath) != EntryType::File) return kRunSucceeded;
  const ArchiveCheck archive = checkPackageArchive(localPath);
  if (!archive.sound)
    return reportDamaged(package.name, place.localFolder, archive.problem, false, false);
  package.files = archive.files;
  package.sha256 = fileSha256(localPath);
  package.check = kCheckedOfflineCopy;
  return kRunSucceeded;
}

// Fetches the place's pointer file over `ftp`. 0, or kRunDownloadFailed (logged).
int fetchPointerFile(FtpSource& ftp, const PackagePlace& place) {
  const std::string remotePath = place.remoteFolder + place.pointerFileName;
  if (ftp.reopen() == 0 &&
      ftp.downloadFile(remotePath, withoutTrailingSeparator(place.localFolder)) == 0)
    return kRunSucceeded;
  return reportUnfetched("The pointer file " + remotePath, ftp, place.localFolder,
                         pathExists(place.pointerPath()));
}

void afterLine(PerLine perLine, const std::string& line) {
  switch (perLine) {
    case PerLine::None:
      return;
    case PerLine::Echo:
      std::cout << printable(line) << std::endl;
      return;
    case PerLine::Pause:
      std::this_thread::sleep_for(kPausePerLine);
      return;
  }
}

// Reads the package name from the place's pointer file, with the per-line action for each line.
// 0, or kRunFileNotRead (logged but for a missing file in a quiet place).
int readPointer(const PackagePlace& place, std::string& packageName) {
  const PointerFile pointer = readPointerFile(place.pointerPath());
  switch (pointer.outcome) {
    case PointerFile::Read:
      break;
    case PointerFile::NotOpened:
      if (place.reportsMissingPointer)
        writeLog("Can't open the file : " + place.pointerPath(), kLogInfo);
      return kRunFileNotRead;
    case PointerFile::Refused:
      writeLog("The pointer file " + place.pointerPath() + " is no pointer file: it " +
                   pointer.problem + "; nothing was installed",
               kLogError);
      return kRunFileNotRead;
  }
  for (const std::string& line : pointer.lines) afterLine(place.perLine, line);
  packageName = pointer.packageName;
  recordFact("package: " + packageName);
  notePackage(packageName);
  return kRunSucceeded;
}

}  // namespace

int preparePackage(FtpSource* server, const PackagePlace& place, SecuredPackage& package) {
  if (server != nullptr) {
    const int status = fetchPointerFile(*server, place);
    if (status != kRunSucceeded) return status;
  }
  int status = readPointer(place, package.name);
  if (status != kRunSucceeded) return status;
  if (!checkPackageName(place.pointerPath(), package.name)) return kRunFileNotRead;
  // Something else under the package's name (an empty name names the folder itself) is left to
  // the upload, which fails and says so.
  if (entryType(place.localPath(package.name)) == EntryType::Directory) return kRunSucceeded;
  if (server == nullptr) return checkOfflineCopy(place, package);
  if (server->reopen() != 0)
    return reportUnfetched("The package " + package.name, *server, place.localFolder,
                           pathExists(place.localPath(package.name)));
  return PackageFetch(*server, place, package).secure();
}

void notePackageOnDevice(const SecuredPackage& package) {
  notePackageSent(package.sha256, package.check);
}

}  // namespace provision
