// The first half that the package workflows share: read the current package's name from its
// pointer file and bring a sound copy of that package into a local folder, proven to be the
// package server's while the package server answers.
#pragma once

#include <string>
#include <vector>

#include "install/run_status.h"
#include "package/package_archive.h"

namespace provision {

class FtpSource;

// What is done after each line of a pointer file.
enum class PerLine { None, Echo, Pause };

// Where a package and its pointer file are kept, here and on the package server.
struct PackagePlace {
  std::string localFolder;   // ends with the local separator
  std::string remoteFolder;  // ends with "/"
  std::string pointerFileName;
  // What is done after each line of the pointer file, and whether a pointer file that cannot be
  // opened is said (mode 1 ends without a word).
  PerLine perLine = PerLine::Echo;
  bool reportsMissingPointer = true;

  std::string pointerPath() const { return localFolder + pointerFileName; }
  std::string localPath(const std::string& packageName) const { return localFolder + packageName; }
};

// The package a workflow puts on the device, and what is known of it.
struct SecuredPackage {
  std::string name;
  // The SHA-256 of the local copy that passed the check (the bytes that go to the device), and
  // how it was known to be the package server's (unit_history.h: kCheckedByDigest, ...); both
  // empty when there is no copy to check (left to the upload, which says so).
  std::string sha256;
  std::string check;
  // Its files, with the SHA-256 of each, for the unit's own check of what it unpacked.
  std::vector<ArchiveFile> files;
};

// Brings the place's pointer file from the package server over `server` (null while the package
// server does not answer: the local copy of an earlier run is read), reads the package name from
// it with the place's per-line action, and makes sure a sound copy of that package is in the local
// folder. While the package server answers, the copy counts as the server's only when it matches
// the SHA-256 the server publishes beside it (NAME.sha256), or, where the server publishes none,
// its size and its time: otherwise it is fetched, and the fetched copy must match the same. A
// fetched copy replaces the local one only once it arrived whole and passed the check; then the
// folder is emptied of everything but it and its pointer file. A pointer file, digest file, size
// and time or package that cannot be had from a server that answered fails the step (the local
// copies stay as they were, for offline runs). 0, kRunDownloadFailed, kRunFileNotRead (no pointer
// file, one that is none, or one that names no package file) or kRunPackageDamaged (a damaged
// package, or one that does not match its digest file); each failure is logged.
int preparePackage(FtpSource* server, const PackagePlace& place, SecuredPackage& package);

// The unit history's note of a package that reached the device whole.
void notePackageOnDevice(const SecuredPackage& package);

}  // namespace provision
