// A local file that a download creates and fills. Each platform builds one variant
// (new_file-posix.cc, new_file-win32.cc); paths are narrow UTF-8 strings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace provision {

class NewFile {
 public:
  // Why the file could not be created or written, as far as the system tells.
  enum class Problem {
    None,
    DiskFull,     // its disk (or the user's quota on it) is full
    NotWritable,  // the folder or the disk may not be written to
    Other,        // anything else: a missing folder, a name the system refuses
  };

  NewFile() = default;
  // Closes the file when it is still open.
  ~NewFile();
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;

  // Creates `path`, which must not exist yet, for writing. False when it cannot.
  bool create(const std::string& path);
  // Appends `size` bytes. False when they could not all be written.
  bool write(const char* data, std::size_t size);
  // Closes the file. False when what was written could not be stored.
  bool close();

  // The first problem met since create().
  Problem problem() const { return problem_; }

 private:
  void note(Problem problem) {
    if (problem_ == Problem::None) problem_ = problem;
  }

  // A file descriptor or a HANDLE; -1 for none on both.
  std::intptr_t handle_ = -1;
  Problem problem_ = Problem::None;
};

}  // namespace provision
