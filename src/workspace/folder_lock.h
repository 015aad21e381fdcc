// One run at a time in a folder: an exclusive lock on a file there, which the operating system
// ends with the process that holds it, however that process ends (a lock whose process died never
// blocks). Each platform builds one variant (folder_lock-posix.cc: flock; folder_lock-win32.cc:
// LockFileEx).
#pragma once

#include <cstdint>
#include <string>

namespace provision {

// The lock file beside the executable that one run at a time holds.
inline constexpr const char* kLockFileName = "provision.lock";

class FolderLock {
 public:
  enum class Result {
    Acquired,
    Held,      // another process holds it
    Unusable,  // the lock file cannot be opened (a read-only folder): nothing to guard
  };

  FolderLock() = default;
  // Lets go of the lock.
  ~FolderLock();
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

  // Takes the lock on the file at `path`, creating it, and writes `owner` into it for whoever
  // finds it held. When another process holds it, `heldBy` receives what that process wrote
  // (empty when it has not written yet).
  Result acquire(const std::string& path, const std::string& owner, std::string& heldBy);

 private:
  // A file descriptor or a HANDLE; -1 for none on both.
  std::intptr_t handle_ = -1;
};

}  // namespace provision
