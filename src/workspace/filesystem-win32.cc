// The local file functions on Windows. Paths arrive as UTF-8 and go to the wide system calls, so
// any folder name works whatever the system's ANSI code page is.
#include <windows.h>

#include "log/wide_text-win32.h"
#include "workspace/filesystem.h"

namespace provision {
namespace {

// The longest path the wide calls take.
constexpr DWORD kMaxWidePath = 32768;

// A FILETIME counts 100 ns steps since 1601-01-01 00:00 UTC.
constexpr std::int64_t kFileTimeStepsPerSecond = 10000000;
constexpr std::int64_t kSecondsFrom1601To1970 = 11644473600;

class FindHandle {
 public:
  explicit FindHandle(HANDLE handle) : handle_(handle) {}
  ~FindHandle() {
    if (valid()) FindClose(handle_);
  }
  FindHandle(const FindHandle&) = delete;
  FindHandle& operator=(const FindHandle&) = delete;
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

EntryType typeOfAttributes(DWORD attributes) {
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? EntryType::Directory : EntryType::File;
}

// The type of what the symbolic link or junction at `path` points to; None when it dangles.
EntryType typeOfLinkTarget(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return EntryType::None;
  BY_HANDLE_FILE_INFORMATION info;
  const bool known = GetFileInformationByHandle(file, &info) != 0;
  CloseHandle(file);
  return known ? typeOfAttributes(info.dwFileAttributes) : EntryType::None;
}

}  // namespace

const char* nullDevice() { return "NUL"; }

std::string executablePath() {
  // A path longer than the classic 260 characters is read whole rather than cut.
  std::wstring buffer(MAX_PATH, L'\0');
  while (true) {
    const DWORD size = static_cast<DWORD>(buffer.size());
    const DWORD length = GetModuleFileNameW(GetModuleHandleW(nullptr), buffer.data(), size);
    if (length == 0) return {};
    if (length < size) return narrowUtf8(buffer.data(), static_cast<int>(length));
    if (size >= kMaxWidePath) return {};
    buffer.resize(size * 2);
  }
}

bool makeDirectory(const std::string& path) {
  return CreateDirectoryW(widenUtf8(path).c_str(), nullptr) != 0;
}

bool listFolder(const std::string& folder, std::vector<FolderEntry>& entries) {
  entries.clear();
  WIN32_FIND_DATAW data;
  FindHandle search(FindFirstFileW(widenUtf8(folder + "\\*").c_str(), &data));
  if (!search.valid()) {
    // Only a drive's top folder can be empty of even "." and "..".
    return GetLastError() == ERROR_FILE_NOT_FOUND && entryType(folder) == EntryType::Directory;
  }
  do {
    const std::string name = narrowUtf8(data.cFileName);
    if (name == "." || name == "..") continue;
    entries.push_back({name, entryType(folder + "\\" + name)});
  } while (FindNextFileW(search.get(), &data));
  return true;
}

EntryType entryType(const std::string& path) {
  const std::wstring wide = widenUtf8(path);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return EntryType::None;
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return typeOfLinkTarget(wide);
  return typeOfAttributes(attributes);
}

std::optional<std::int64_t> modifiedTime(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(widenUtf8(path).c_str(), GetFileExInfoStandard, &data)) return {};
  const std::int64_t steps = static_cast<std::int64_t>(
      (static_cast<std::uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
      data.ftLastWriteTime.dwLowDateTime);
  return steps / kFileTimeStepsPerSecond - kSecondsFrom1601To1970;
}

bool setModifiedTime(const std::string& path, std::int64_t seconds) {
  HANDLE file = CreateFileW(widenUtf8(path).c_str(), FILE_WRITE_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const auto steps =
      static_cast<std::uint64_t>((seconds + kSecondsFrom1601To1970) * kFileTimeStepsPerSecond);
  FILETIME time{static_cast<DWORD>(steps & 0xFFFFFFFF), static_cast<DWORD>(steps >> 32)};
  // The creation and access times are left as they are.
  const bool set = SetFileTime(file, nullptr, nullptr, &time) != 0;
  CloseHandle(file);
  return set;
}

}  // namespace provision
