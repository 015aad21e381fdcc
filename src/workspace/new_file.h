// A local file that a download creates and fills; paths are narrow UTF-8 strings. The class is
// new_file.cc; each platform builds one variant of its three system calls (new_file-posix.cc,
// new_file-win32.cc).
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
  // A file descriptor or a HANDLE; -1 for none on both.
  static constexpr std::intptr_t kNoHandle = -1;

  // The platform's calls, each Problem::None when it succeeded. openNew() leaves `handle` at
  // kNoHandle when it fails; writeSome() writes a part of `size` bytes, at least one.
  static Problem openNew(const std::string& path, std::intptr_t& handle);
  static Problem writeSome(std::intptr_t handle, const char* data, std::size_t size,
                           std::size_t& written);
  static Problem closeHandle(std::intptr_t handle);

  void note(Problem problem) {
    if (problem_ == Problem::None) problem_ = problem;
  }

  std::intptr_t handle_ = kNoHandle;
  Problem problem_ = Problem::None;
};

}  // namespace provision
