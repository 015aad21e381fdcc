// The run record's file on Windows: opened with append access only, so that each write lands at
// the end of the file; other processes may read, append to and rename it meanwhile.
#include <windows.h>

#include <filesystem>

#include "log/record_file.h"
#include "log/text.h"

namespace provision {
namespace {

HANDLE handleOf(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

// Line feeds become CR LF, as Windows text files have them.
std::string withWindowsLineEnds(const std::string& line) {
  std::string text;
  text.reserve(line.size() + 2);
  for (char c : line) {
    if (c == '\n') text += '\r';
    text += c;
  }
  return text + "\r\n";
}

}  // namespace

RecordFile::~RecordFile() {
  if (handleOf(handle_) != INVALID_HANDLE_VALUE) CloseHandle(handleOf(handle_));
}

bool RecordFile::open(const std::string& path) {
  const std::filesystem::path wide = toFsPath(path);
  HANDLE file = CreateFileW(wide.c_str(), FILE_APPEND_DATA,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  handle_ = reinterpret_cast<std::intptr_t>(file);
  return file != INVALID_HANDLE_VALUE;
}

bool RecordFile::appendLine(const std::string& line) {
  if (handleOf(handle_) == INVALID_HANDLE_VALUE) return false;
  const std::string text = withWindowsLineEnds(line);
  DWORD written = 0;
  return WriteFile(handleOf(handle_), text.data(), static_cast<DWORD>(text.size()), &written,
                   nullptr) != 0 &&
         written == text.size();
}

unsigned long currentProcessId() { return GetCurrentProcessId(); }

}  // namespace provision
