// A download's new local file on Windows: the path goes to the wide call as UTF-8, so any folder
// name works whatever the system's ANSI code page is.
#include <windows.h>

#include <algorithm>

#include "workspace/new_file.h"
#include "workspace/wide_text-win32.h"

namespace provision {
namespace {

HANDLE handleOf(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

NewFile::Problem problemOf(DWORD error) {
  switch (error) {
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return NewFile::Problem::DiskFull;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
      return NewFile::Problem::NotWritable;
    default:
      return NewFile::Problem::Other;
  }
}

}  // namespace

NewFile::~NewFile() { close(); }

bool NewFile::create(const std::string& path) {
  problem_ = Problem::None;
  HANDLE file = CreateFileW(widenUtf8(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                            CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    note(problemOf(GetLastError()));
    return false;
  }
  handle_ = reinterpret_cast<std::intptr_t>(file);
  return true;
}

bool NewFile::write(const char* data, std::size_t size) {
  if (handle_ == -1) return false;
  while (size > 0) {
    const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(size, 1 << 30));
    DWORD written = 0;
    if (!WriteFile(handleOf(handle_), data, piece, &written, nullptr) || written == 0) {
      note(problemOf(GetLastError()));
      return false;
    }
    data += written;
    size -= written;
  }
  return true;
}

bool NewFile::close() {
  if (handle_ == -1) return problem_ == Problem::None;
  const bool closed = CloseHandle(handleOf(handle_)) != 0;
  if (!closed) note(problemOf(GetLastError()));
  handle_ = -1;
  return closed && problem_ == Problem::None;
}

}  // namespace provision
