// The shared file on Windows: every write goes to the end of the file (an OVERLAPPED offset of
// all ones), and LockFileEx locks it whole, which a file server holds for all its clients. A
// program that holds the file open without sharing it for writing (a spreadsheet that has it
// open) keeps it from being opened at all.
#include <windows.h>

#include <filesystem>

#include "log/shared_file.h"
#include "log/text.h"

namespace provision {
namespace {

HANDLE handleOf(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

}  // namespace

SharedFile::~SharedFile() {
  if (handle_ == kNoHandle) return;
  // Windows asks that a lock be let go of before its handle is closed, or others may wait longer.
  unlock();
  CloseHandle(handleOf(handle_));
}

bool SharedFile::open(const std::string& path) {
  const std::filesystem::path wide = toFsPath(path);
  const HANDLE file =
      CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  handle_ = reinterpret_cast<std::intptr_t>(file);
  return true;
}

SharedFile::Lock SharedFile::tryLock() {
  OVERLAPPED start{};
  if (LockFileEx(handleOf(handle_), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0,
                 MAXDWORD, MAXDWORD, &start)) {
    locked_ = true;
    return Lock::Held;
  }
  return GetLastError() == ERROR_LOCK_VIOLATION ? Lock::Busy : Lock::Unsupported;
}

void SharedFile::unlock() {
  OVERLAPPED start{};
  if (locked_) UnlockFileEx(handleOf(handle_), 0, MAXDWORD, MAXDWORD, &start);
  locked_ = false;
}

bool SharedFile::size(std::uint64_t& size) {
  LARGE_INTEGER length{};
  if (!GetFileSizeEx(handleOf(handle_), &length)) return false;
  size = static_cast<std::uint64_t>(length.QuadPart);
  return true;
}

bool SharedFile::readAt(std::uint64_t offset, char* data, std::size_t size) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD read = 0;
  return ReadFile(handleOf(handle_), data, static_cast<DWORD>(size), &read, &at) != 0 &&
         read == size;
}

bool SharedFile::append(const std::string& bytes) {
  OVERLAPPED atTheEnd{};
  atTheEnd.Offset = MAXDWORD;
  atTheEnd.OffsetHigh = MAXDWORD;
  DWORD written = 0;
  return WriteFile(handleOf(handle_), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                   &atTheEnd) != 0 &&
         written == bytes.size();
}

bool SharedFile::truncate(std::uint64_t size) {
  LARGE_INTEGER length{};
  length.QuadPart = static_cast<LONGLONG>(size);
  return SetFilePointerEx(handleOf(handle_), length, nullptr, FILE_BEGIN) &&
         SetEndOfFile(handleOf(handle_));
}

}  // namespace provision
