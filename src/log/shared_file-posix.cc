// The shared file on POSIX systems: O_APPEND makes each write land at the end of the file, and an
// fcntl() record lock, which NFS and SMB mounts pass on to the server, keeps the writers of
// several computers from writing at the same time. The lock goes with the descriptor.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "log/shared_file.h"

namespace provision {
namespace {

int fdOf(std::intptr_t handle) { return static_cast<int>(handle); }

bool lockWhole(int fd, short type) {
  struct flock whole {};
  whole.l_type = type;
  whole.l_whence = SEEK_SET;
  return ::fcntl(fd, F_SETLK, &whole) == 0;
}

}  // namespace

SharedFile::~SharedFile() {
  if (handle_ == kNoHandle) return;
  unlock();
  ::close(fdOf(handle_));
}

bool SharedFile::open(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  handle_ = fd;
  return true;
}

SharedFile::Lock SharedFile::tryLock() {
  if (lockWhole(fdOf(handle_), F_WRLCK)) {
    locked_ = true;
    return Lock::Held;
  }
  if (errno == EACCES || errno == EAGAIN || errno == EINTR) return Lock::Busy;
  return Lock::Unsupported;
}

void SharedFile::unlock() {
  if (locked_) lockWhole(fdOf(handle_), F_UNLCK);
  locked_ = false;
}

bool SharedFile::size(std::uint64_t& size) {
  struct stat status {};
  if (::fstat(fdOf(handle_), &status) != 0) return false;
  size = static_cast<std::uint64_t>(status.st_size);
  return true;
}

bool SharedFile::readAt(std::uint64_t offset, char* data, std::size_t size) {
  return ::pread(fdOf(handle_), data, size, static_cast<off_t>(offset)) ==
         static_cast<ssize_t>(size);
}

bool SharedFile::append(const std::string& bytes) {
  return ::write(fdOf(handle_), bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

bool SharedFile::truncate(std::uint64_t size) {
  return ::ftruncate(fdOf(handle_), static_cast<off_t>(size)) == 0;
}

}  // namespace provision
