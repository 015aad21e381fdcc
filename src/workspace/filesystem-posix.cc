// The local file functions on POSIX systems.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "workspace/filesystem.h"

namespace provision {

const char* nullDevice() { return "/dev/null"; }

std::string executablePath() {
  char buffer[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", buffer, sizeof(buffer));
  if (length <= 0 || static_cast<size_t>(length) >= sizeof(buffer)) return {};
  return std::string(buffer, static_cast<size_t>(length));
}

bool makeDirectory(const std::string& path) { return mkdir(path.c_str(), 0777) == 0; }

bool listFolder(const std::string& folder, std::vector<FolderEntry>& entries) {
  entries.clear();
  DIR* dir = opendir(folder.c_str());
  if (!dir) return false;
  while (const dirent* entry = readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    entries.push_back({entry->d_name, entryType(folder + "/" + entry->d_name)});
  }
  closedir(dir);
  return true;
}

EntryType entryType(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return EntryType::None;
  return S_ISDIR(info.st_mode) ? EntryType::Directory : EntryType::File;
}

std::optional<std::int64_t> modifiedTime(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return {};
  return static_cast<std::int64_t>(info.st_mtime);
}

bool setModifiedTime(const std::string& path, std::int64_t seconds) {
  // The access time is left as it is.
  const timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(seconds), 0}};
  return utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

}  // namespace provision
