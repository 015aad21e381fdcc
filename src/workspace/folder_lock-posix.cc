// The folder lock on POSIX systems: flock(2) on the lock file, released when its descriptor is
// closed, which the kernel does for a process that dies.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "workspace/folder_lock.h"

namespace provision {
namespace {

constexpr std::size_t kOwnerReadSize = 512;

std::string readOwner(int fd) {
  char buffer[kOwnerReadSize];
  const ssize_t count = ::pread(fd, buffer, sizeof buffer, 0);
  return count > 0 ? std::string(buffer, static_cast<std::size_t>(count)) : std::string();
}

}  // namespace

FolderLock::~FolderLock() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

FolderLock::Result FolderLock::acquire(const std::string& path, const std::string& owner,
                                       std::string& heldBy) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return Result::Unusable;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const bool held = errno == EWOULDBLOCK;
    if (held) heldBy = readOwner(fd);
    ::close(fd);
    return held ? Result::Held : Result::Unusable;
  }
  handle_ = fd;
  // One write, then the rest of an earlier owner's text cut off: a reader sees the new owner.
  if (::pwrite(fd, owner.data(), owner.size(), 0) >= 0)
    static_cast<void>(::ftruncate(fd, static_cast<off_t>(owner.size())));
  return Result::Acquired;
}

}  // namespace provision
