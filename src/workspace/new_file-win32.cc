// A download's new local file on Windows: the path goes to the wide call as UTF-8, so any folder
// name works whatever the system's ANSI code page is.
#include <windows.h>

#include <algorithm>

#include "log/wide_text-win32.h"
#include "workspace/new_file.h"

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

NewFile::Problem NewFile::openNew(const std::string& path, std::intptr_t& handle) {
  HANDLE file = CreateFileW(widenUtf8(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                            CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return problemOf(GetLastError());
  handle = reinterpret_cast<std::intptr_t>(file);
  return Problem::None;
}

NewFile::Problem NewFile::writeSome(std::intptr_t handle, const char* data, std::size_t size,
                                    std::size_t& written) {
  // WriteFile takes a DWORD count.
  const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(size, 1 << 30));
  DWORD count = 0;
  if (!WriteFile(handleOf(handle), data, piece, &count, nullptr)) return problemOf(GetLastError());
  if (count == 0) return Problem::Other;
  written = count;
  return Problem::None;
}

NewFile::Problem NewFile::closeHandle(std::intptr_t handle) {
  return CloseHandle(handleOf(handle)) ? Problem::None : problemOf(GetLastError());
}

}  // namespace provision
