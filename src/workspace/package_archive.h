// The check that a package archive on this PC is whole before any of it goes to the device: its
// table of contents can be read and every entry's data matches its size and CRC-32. libzip reads
// the archive; nothing here parses zip by hand.
#pragma once

#include <cstddef>
#include <string>

namespace provision {

struct ArchiveCheck {
  bool sound = false;
  // What is wrong with it, in words, when it is not sound: "its entry QMServer/bin/QMServer is
  // damaged (CRC error)", "it cannot be read as a zip archive (Not a zip archive)".
  std::string problem;
};

// Checks the archive at the local path `path` (UTF-8), reading it once from start to end. An
// archive without a single file in it is not sound either: it can install nothing.
ArchiveCheck checkPackageArchive(const std::string& path);

// The same for an archive held in memory.
ArchiveCheck checkPackageArchive(const void* data, std::size_t size);

}  // namespace provision
