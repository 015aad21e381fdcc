// The folder lock on Windows: LockFileEx on one byte far beyond the owner's text, so that the text
// itself stays readable for a second run. Windows releases the lock of a process that ends.
#include <windows.h>

#include "log/wide_text-win32.h"
#include "workspace/folder_lock.h"

namespace provision {
namespace {

HANDLE handleOf(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

// The locked byte: no owner's text reaches it.
constexpr DWORD kLockOffsetHigh = 0x7fffffff;
constexpr DWORD kOwnerReadSize = 512;

OVERLAPPED lockedByte() {
  OVERLAPPED where{};
  where.Offset = 0;
  where.OffsetHigh = kLockOffsetHigh;
  return where;
}

std::string readOwner(HANDLE file) {
  char buffer[kOwnerReadSize];
  DWORD count = 0;
  OVERLAPPED start{};
  if (!ReadFile(file, buffer, sizeof buffer, &count, &start)) return {};
  return std::string(buffer, count);
}

}  // namespace

FolderLock::~FolderLock() {
  if (handleOf(handle_) == INVALID_HANDLE_VALUE) return;
  OVERLAPPED where = lockedByte();
  UnlockFileEx(handleOf(handle_), 0, 1, 0, &where);
  CloseHandle(handleOf(handle_));
}

FolderLock::Result FolderLock::acquire(const std::string& path, const std::string& owner,
                                       std::string& heldBy) {
  HANDLE file = CreateFileW(widenUtf8(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return Result::Unusable;
  OVERLAPPED where = lockedByte();
  if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &where)) {
    const bool held = GetLastError() == ERROR_LOCK_VIOLATION;
    if (held) heldBy = readOwner(file);
    CloseHandle(file);
    return held ? Result::Held : Result::Unusable;
  }
  handle_ = reinterpret_cast<std::intptr_t>(file);
  DWORD written = 0;
  OVERLAPPED start{};
  if (WriteFile(file, owner.data(), static_cast<DWORD>(owner.size()), &written, &start)) {
    LARGE_INTEGER end{};
    end.QuadPart = static_cast<LONGLONG>(owner.size());
    if (SetFilePointerEx(file, end, nullptr, FILE_BEGIN)) SetEndOfFile(file);
  }
  return Result::Acquired;
}

}  // namespace provision
