// The unit history's file on Windows: opened with append access, so that the write lands at the
// end of the file, and locked whole with LockFileEx, which a file server holds for all its
// clients. The lock goes with the handle. A program that holds the file open without sharing it
// for writing (a spreadsheet that has it open) keeps it from being opened at all.
#include <windows.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "log/history_file.h"

namespace provision {
namespace {

constexpr auto kLockWait = std::chrono::seconds(5);
constexpr auto kLockPoll = std::chrono::milliseconds(10);

enum class Lock { Held, Busy, Unsupported };

// Locks the whole file, waiting up to kLockWait for another holder to let go.
Lock lockWhole(HANDLE file) {
  const auto deadline = std::chrono::steady_clock::now() + kLockWait;
  for (;;) {
    OVERLAPPED start{};
    if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD,
                   &start))
      return Lock::Held;
    if (GetLastError() != ERROR_LOCK_VIOLATION) return Lock::Unsupported;
    if (std::chrono::steady_clock::now() >= deadline) return Lock::Busy;
    std::this_thread::sleep_for(kLockPoll);
  }
}

// Closes the handle, which lets go of its lock.
class Handle {
 public:
  explicit Handle(HANDLE handle) : handle_(handle) {}
  ~Handle() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

// Writes `head` and `text`, or `text` alone when the file is not empty, with one write.
bool appendOnce(HANDLE file, const std::string& head, const std::string& text) {
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file, &size)) return false;
  const std::string bytes = size.QuadPart == 0 ? head + text : text;
  DWORD written = 0;
  return WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) != 0 &&
         written == bytes.size();
}

}  // namespace

bool appendToSharedFile(const std::string& path, const std::string& head, const std::string& text) {
  const std::filesystem::path wide(std::u8string(path.begin(), path.end()));
  // Read access as well: a handle without it or write access (append alone) cannot be locked.
  const Handle file(CreateFileW(wide.c_str(), GENERIC_READ | FILE_APPEND_DATA,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) return false;
  const Lock lock = lockWhole(file.get());
  if (lock == Lock::Busy) return false;
  const bool written = appendOnce(file.get(), head, text);
  // Windows asks that a lock be let go of before its handle is closed, or others may wait longer.
  OVERLAPPED start{};
  if (lock == Lock::Held) UnlockFileEx(file.get(), 0, MAXDWORD, MAXDWORD, &start);
  return written;
}

std::string stationName() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  if (!GetComputerNameW(name, &size)) return {};
  const std::u8string utf8 = std::filesystem::path(std::wstring(name, size)).u8string();
  return std::string(utf8.begin(), utf8.end());
}

}  // namespace provision
