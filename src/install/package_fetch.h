// The first half that the package workflows share: bring the current package into a local folder.
#pragma once

#include <string>

namespace provision {

class FtpSource;

// Makes sure `localFolder` + `packageName` exists, fetching it from `remoteFolder` over `ftp` when
// it does not. Before a download the folder is emptied of everything but its pointer file
// `pointerFileName`, so older packages go while a later offline run still finds the package name.
// `localFolder` ends with the local separator. Returns 0, or 1 when the download failed.
int ensurePackage(FtpSource& ftp, const std::string& localFolder, const std::string& remoteFolder,
                  const std::string& pointerFileName, const std::string& packageName);

// Whether the name that the pointer file at `pointerPath` gives can name a package: one file name
// in its folder, without a control character. An empty name is no package either, but its upload
// fails and says so. Logs one error line naming the pointer file when it cannot.
bool checkPackageName(const std::string& pointerPath, const std::string& packageName);

// Reads the package name from the pointer file in `localFolder`, echoing each of its lines, and
// while the package server is online makes sure the package is local. 0, 1 (the download
// failed) or 2 (no pointer file, or one whose name can name no package; both are logged).
int preparePackage(const std::string& localFolder, const std::string& remoteFolder,
                   const std::string& pointerFileName, std::string& packageName);

// Fetches one pointer file into `localFolder` over a connection of its own; failures only show
// as the client's error lines, and the local copy of an earlier run is used instead.
void fetchPointerFile(const std::string& remotePath, const std::string& localFolder);

}  // namespace provision
