// A download's new local file on POSIX systems: a file descriptor, written without a buffer of
// its own (the client hands over large pieces).
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "workspace/new_file.h"

namespace provision {
namespace {

NewFile::Problem problemOf(int error) {
  switch (error) {
    case ENOSPC:
    case EDQUOT:
      return NewFile::Problem::DiskFull;
    case EACCES:
    case EPERM:
    case EROFS:
      return NewFile::Problem::NotWritable;
    default:
      return NewFile::Problem::Other;
  }
}

}  // namespace

NewFile::Problem NewFile::openNew(const std::string& path, std::intptr_t& handle) {
  const int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (descriptor < 0) return problemOf(errno);
  handle = descriptor;
  return Problem::None;
}

NewFile::Problem NewFile::writeSome(std::intptr_t handle, const char* data, std::size_t size,
                                    std::size_t& written) {
  ssize_t count = 0;
  do {
    count = ::write(static_cast<int>(handle), data, size);
  } while (count < 0 && errno == EINTR);
  if (count < 0) return problemOf(errno);
  if (count == 0) return Problem::Other;
  written = static_cast<std::size_t>(count);
  return Problem::None;
}

NewFile::Problem NewFile::closeHandle(std::intptr_t handle) {
  return ::close(static_cast<int>(handle)) == 0 ? Problem::None : problemOf(errno);
}

}  // namespace provision
