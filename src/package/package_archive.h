// The check that a package archive on this PC is whole, and that every unit's unzip would unpack
// it alike and where it says, before any of it goes to the device. Its table of contents must
// read; every entry must have a name that stays inside the folder the package is unpacked into
// (archive_tree.h), be stored or deflated and not encrypted; a link must stay inside that folder
// too; at least one entry must be a file; and every entry's data must come to its size and CRC-32,
// counted here. libzip reads the archive's structure and hands over each entry's data as it lies
// there; zlib inflates it. Nothing here parses zip by hand, and nothing depends on which
// compression methods libzip was built with, so both builds judge every archive alike.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace provision {

// One file of a sound archive: its name as the archive holds it (the one a unit's unzip gives
// it, below the folder it unpacks into) and the SHA-256 of its data.
struct ArchiveFile {
  std::string name;
  std::string sha256;
};

struct ArchiveCheck {
  bool sound = false;
  // The archive's files, in the archive's order, when it is sound; folders and links are not
  // among them.
  std::vector<ArchiveFile> files;
  // What is wrong with it, in words, when it is not sound: "its entry QMServer/bin/QMServer is
  // damaged (CRC error)", "it cannot be read as a zip archive (Not a zip archive)", "its entry
  // ../../etc/cron.d/x climbs out of the folder it is unpacked into ("..")".
  std::string problem;
};

// Checks the archive at the local path `path` (UTF-8): its table of contents first, then each
// entry's data, reading the archive once from start to end. An archive without a single file in
// it (folders only) is not sound either: it can install nothing.
ArchiveCheck checkPackageArchive(const std::string& path);

// The same for an archive held in memory.
ArchiveCheck checkPackageArchive(const void* data, std::size_t size);

}  // namespace provision
