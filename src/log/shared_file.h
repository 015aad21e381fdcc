// The platform's calls behind a file that several runs, on several computers, append to at once:
// the unit history. The rules around them (the wait for the lock, a row whole or not at all) are
// history_file.cc's; each platform builds one variant (shared_file-posix.cc, shared_file-win32.cc).
// Paths are narrow UTF-8 strings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace provision {

class SharedFile {
 public:
  enum class Lock {
    Held,
    Busy,         // another holder has it now
    Unsupported,  // the file system has no locks: writes go ahead unlocked
  };

  SharedFile() = default;
  // Lets go of the lock, when held, and closes the file.
  ~SharedFile();
  SharedFile(const SharedFile&) = delete;
  SharedFile& operator=(const SharedFile&) = delete;

  // Opens `path` for reading and appending, creating it when missing.
  bool open(const std::string& path);
  // One attempt at a lock of the whole file for writing (a POSIX record lock; LockFileEx on
  // Windows), which writers on other computers sharing the file over a network drive honour too.
  Lock tryLock();
  void unlock();

  bool size(std::uint64_t& size);
  // Reads exactly `size` bytes at `offset`.
  bool readAt(std::uint64_t offset, char* data, std::size_t size);
  // Writes `bytes` at the end of the file with one write; false when not all of them were written.
  bool append(const std::string& bytes);
  // Cuts the file back to `size` bytes.
  bool truncate(std::uint64_t size);

 private:
  // A file descriptor or a HANDLE; -1 for none on both.
  static constexpr std::intptr_t kNoHandle = -1;
  std::intptr_t handle_ = kNoHandle;
  bool locked_ = false;
};

}  // namespace provision
