#include "workspace/workspace.h"

#include <algorithm>
#include <iostream>
#include <system_error>

#include "log/run_log.h"
#include "settings/settings.h"
#include "workspace/filesystem.h"
#include "workspace/partial_name.h"

namespace provision {

std::string dataFolder(const std::string& name) {
  const std::string data = settings.baseFolder + "data";
  return name.empty() ? data : data + kSep + name;
}

void prepareWorkspace() {
  exeDirectory();
  createFolder(dataFolder());
  for (const char* folder : {"CalFile", "QM", "ZR", "lib"}) createFolder(dataFolder(folder));
  removePartialData(dataFolder());
}

void removePartialData(const std::string& folder) {
  // A run that was killed part-way leaves its temporary files and folders behind; they only ever
  // hold part of something and must never be used or uploaded. Links are not followed.
  std::error_code error;
  std::vector<std::filesystem::path> partial;
  std::filesystem::recursive_directory_iterator entries(toFsPath(folder), error);
  for (; !error && entries != std::filesystem::recursive_directory_iterator();
       entries.increment(error)) {
    const std::u8string name = entries->path().filename().u8string();
    if (!isPartialDownloadName(std::string(name.begin(), name.end()))) continue;
    partial.push_back(entries->path());
    entries.disable_recursion_pending();
  }
  for (const std::filesystem::path& path : partial) {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
}

void exeDirectory() { settings.baseFolder = executableFolder() + kSep; }

std::string executableFolder() {
  const std::string path = executablePath();
  const size_t separator = path.rfind(kSep);
  return separator == std::string::npos ? path : path.substr(0, separator);
}

void createFolder(std::string path) {
  if (entryType(path) == EntryType::Directory) return;
  makeDirectory(path);
}

std::vector<std::string> listFiles(const std::string& folder) {
  std::vector<FolderEntry> entries;
  std::vector<std::string> files;
  if (!listFolder(folder, entries)) {
    writeLog("Failed to find files in directory. ", kLogError);
    return files;
  }
  for (const FolderEntry& entry : entries) {
    if (entry.type == EntryType::None) {
      std::cerr << "Failed to get file attributes for: " << folder << kSep << entry.name
                << std::endl;
    } else if (entry.type == EntryType::File) {
      files.push_back(entry.name);
    }
  }
  return files;
}

void removeLocalFile(const std::string& path) {
  std::error_code ignored;
  std::filesystem::remove(toFsPath(path), ignored);
}

void clearFolder(std::string folder, const std::vector<std::string>& keptNames) {
  // Each entry goes on its own; a symbolic link is removed, never followed.
  std::error_code error;
  std::filesystem::directory_iterator entries(toFsPath(folder), error);
  for (; !error && entries != std::filesystem::directory_iterator(); entries.increment(error)) {
    const std::u8string name = entries->path().filename().u8string();
    if (std::ranges::find(keptNames, std::string(name.begin(), name.end())) != keptNames.end())
      continue;
    std::error_code ignored;
    std::filesystem::remove_all(entries->path(), ignored);
  }
}

bool isEmptyFolder(const std::string& folder) {
  std::error_code error;
  const bool empty = std::filesystem::is_empty(toFsPath(folder), error);
  return !error && empty;
}

std::string withoutTrailingSeparator(std::string folder) {
  const std::string separator = kSep;
  while (folder.ends_with(separator)) folder.resize(folder.size() - separator.size());
  return folder;
}

bool pathExists(const std::string& path) { return entryType(path) != EntryType::None; }

}  // namespace provision
