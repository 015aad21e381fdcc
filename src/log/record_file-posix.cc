// The run record's file on POSIX systems: O_APPEND makes each write land at the end of the file.
#include <fcntl.h>
#include <unistd.h>

#include "log/record_file.h"

namespace provision {

RecordFile::~RecordFile() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

bool RecordFile::open(const std::string& path) {
  handle_ = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  return handle_ >= 0;
}

bool RecordFile::appendLine(const std::string& line) {
  if (handle_ < 0) return false;
  const std::string text = line + "\n";
  return ::write(static_cast<int>(handle_), text.data(), text.size()) ==
         static_cast<ssize_t>(text.size());
}

unsigned long currentProcessId() { return static_cast<unsigned long>(::getpid()); }

}  // namespace provision
