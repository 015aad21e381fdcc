// The platform file functions behind the run record. Each platform builds one variant
// (record_file-posix.cc, record_file-win32.cc); paths are narrow UTF-8 strings.
#pragma once

#include <cstdint>
#include <string>

namespace provision {

// A file that is only ever appended to, one whole line per write, so that the lines of several
// processes appending at the same time never mix. Each line gets the platform's line end (LF, or
// CR LF on Windows, also for line feeds inside the line).
class RecordFile {
 public:
  RecordFile() = default;
  ~RecordFile();
  RecordFile(const RecordFile&) = delete;
  RecordFile& operator=(const RecordFile&) = delete;

  // Opens `path` for appending, creating it when missing. False when it cannot be written.
  bool open(const std::string& path);
  // False when the line could not be written whole.
  bool appendLine(const std::string& line);

 private:
  // A file descriptor or a HANDLE; -1 for none on both.
  std::intptr_t handle_ = -1;
};

// The ID of this process.
unsigned long currentProcessId();

}  // namespace provision
