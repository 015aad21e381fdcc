// The first half that the package workflows share: bring a sound copy of the current package into
// a local folder.
#pragma once

#include <string>

namespace provision {

class FtpSource;

// Status of a package step whose archive is damaged (it failed the check on this PC): nothing of
// it reached the device.
inline constexpr int kPackageDamaged = 4;

// Makes sure a sound copy of `packageName` is in `localFolder`, fetching it from `remoteFolder`
// over `ftp` when there is none, when the server's copy differs in size from the local one (a
// package rebuilt under its name) or when the local one is damaged (once). Before a download the
// folder is emptied of everything but its pointer file `pointerFileName`, so older packages go
// while a later offline run still finds the package name. A fetched copy that is damaged is not
// kept. `localFolder` ends with the local separator. Returns 0, 1 when the download failed, or
// kPackageDamaged (logged).
int ensurePackage(FtpSource& ftp, const std::string& localFolder, const std::string& remoteFolder,
                  const std::string& pointerFileName, const std::string& packageName);

// The check of the local copy when the package server does not answer: 0, or kPackageDamaged
// (logged, with the advice to run once while the server answers). A copy that is not there is
// left to the upload, which says so.
int checkLocalPackage(const std::string& localFolder, const std::string& packageName);

// Whether the name that the pointer file at `pointerPath` gives can name a package: UTF-8 text
// that is one file name in its folder, without a control character. An empty name is no package
// either, but its upload fails and says so. Logs one error line naming the pointer file when it
// cannot.
bool checkPackageName(const std::string& pointerPath, const std::string& packageName);

// Reads the package name from the pointer file in `localFolder`, echoing each of its lines, and
// makes sure a sound copy of the package is local: from the package server while it is online,
// else the local one checked. 0, 1 (the download failed), 2 (no pointer file, or one whose name
// can name no package; both are logged) or kPackageDamaged.
int preparePackage(const std::string& localFolder, const std::string& remoteFolder,
                   const std::string& pointerFileName, std::string& packageName);

// Fetches one pointer file into `localFolder` over a connection of its own; failures only show
// as the client's error lines, and the local copy of an earlier run is used instead.
void fetchPointerFile(const std::string& remotePath, const std::string& localFolder);

}  // namespace provision
