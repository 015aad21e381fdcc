// The first half that the package workflows share: bring a sound copy of the current package into
// a local folder.
#pragma once

#include <string>

#include "install/run_status.h"

namespace provision {

class FtpSource;

// Where a package and its pointer file are kept, here and on the package server.
struct PackagePlace {
  std::string localFolder;   // ends with the local separator
  std::string remoteFolder;  // ends with "/"
  std::string pointerFileName;

  std::string pointerPath() const { return localFolder + pointerFileName; }
};

// Checks the name that the pointer file gave and makes sure a sound copy of that package is in
// the local folder: while the package server answers, over `ftp` (fetched when there is none, when
// the local copy is not known to be the server's, its size and its time, or when it is damaged,
// once); while it does not (`ftp` null), the local copy checked. A fetched copy replaces the local
// one only once it arrived whole and passed the check; then the folder is emptied of everything
// but it and its pointer file, so older packages go while a later offline run still finds the
// package name. A download that fails or a copy that is damaged leaves the local copy as it was,
// for offline runs. 0, kRunDownloadFailed, kRunFileNotRead (a name that can name no package) or
// kRunPackageDamaged; each failure is logged (the download's error line is its client's). A
// package that is not there while the package server does not answer is left to its upload,
// which says so. The unit history gets the SHA-256 of the archive that passed the check.
int securePackage(FtpSource* ftp, const PackagePlace& place, const std::string& packageName);

// Reads the package name from the place's pointer file, echoing each of its lines, and secures
// the package (securePackage()) over a connection of its own. kRunFileNotRead, logged, when there
// is no pointer file or it is none (readLatestVersion()).
int preparePackage(const PackagePlace& place, std::string& packageName);

// Fetches one pointer file into `localFolder` over a connection of its own; failures only show
// as the client's error lines, and the local copy of an earlier run is used instead.
void fetchPointerFile(const std::string& remotePath, const std::string& localFolder);

}  // namespace provision
