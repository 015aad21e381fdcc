// The platform file functions behind the workspace. Each platform builds one variant
// (filesystem-posix.cc, filesystem-win32.cc); paths are narrow UTF-8 strings.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "log/text.h"

namespace provision {

// What a path names. `None` when nothing is there or the system cannot tell.
enum class EntryType { None, File, Directory };

// One entry of a local folder listing.
struct FolderEntry {
  std::string name;
  EntryType type = EntryType::None;  // None: the entry's type could not be read
};

// The full path of the running executable, or empty when the system cannot tell.
std::string executablePath();

// The name of the system's empty device ("/dev/null", "NUL"): a file that reads as empty, for a
// library that insists on reading a file the program has no use for.
const char* nullDevice();

// Creates the last level of `path`; fails (false) when the parent is missing or something
// already exists there.
bool makeDirectory(const std::string& path);

// The entries of `folder` in the order the system lists them, without "." and "..". False when
// the folder cannot be listed.
bool listFolder(const std::string& folder, std::vector<FolderEntry>& entries);

// What `path` names (symbolic links followed).
EntryType entryType(const std::string& path);

// The modification time of the file at `path`, in whole seconds since 1970-01-01 00:00 UTC;
// nothing when the system cannot tell.
std::optional<std::int64_t> modifiedTime(const std::string& path);

// Gives the file at `path` the modification time `seconds` (since 1970-01-01 00:00 UTC). False when
// the system refuses.
bool setModifiedTime(const std::string& path, std::int64_t seconds);

}  // namespace provision
