#include "workspace/new_file.h"

namespace provision {

NewFile::~NewFile() { close(); }

bool NewFile::create(const std::string& path) {
  problem_ = Problem::None;
  note(openNew(path, handle_));
  return handle_ != kNoHandle;
}

bool NewFile::write(const char* data, std::size_t size) {
  if (handle_ == kNoHandle) return false;
  while (size > 0) {
    std::size_t written = 0;
    const Problem problem = writeSome(handle_, data, size, written);
    if (problem != Problem::None) {
      note(problem);
      return false;
    }
    data += written;
    size -= written;
  }
  return true;
}

bool NewFile::close() {
  if (handle_ == kNoHandle) return problem_ == Problem::None;
  note(closeHandle(handle_));
  handle_ = kNoHandle;
  return problem_ == Problem::None;
}

}  // namespace provision
