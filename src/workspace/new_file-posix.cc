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

NewFile::~NewFile() { close(); }

bool NewFile::create(const std::string& path) {
  problem_ = Problem::None;
  const int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (descriptor < 0) {
    note(problemOf(errno));
    return false;
  }
  handle_ = descriptor;
  return true;
}

bool NewFile::write(const char* data, std::size_t size) {
  if (handle_ < 0) return false;
  while (size > 0) {
    const ssize_t written = ::write(static_cast<int>(handle_), data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      note(written < 0 ? problemOf(errno) : Problem::Other);
      return false;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

bool NewFile::close() {
  if (handle_ < 0) return problem_ == Problem::None;
  const bool closed = ::close(static_cast<int>(handle_)) == 0;
  if (!closed) note(problemOf(errno));
  handle_ = -1;
  return closed && problem_ == Problem::None;
}

}  // namespace provision
