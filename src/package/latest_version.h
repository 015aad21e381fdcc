// Latest-version pointer files: a short text file beside the packages that names the current one,
// read from the local copy in the data folder. Reading one does nothing else: the workflow that
// reads it echoes its lines, waits or logs.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace provision {

// The most a pointer file may hold. A file name on a unit is at most 255 bytes: 4 KiB holds the
// most lines a pointer file may have, each a name as long as that and its line feed (and one name
// of 255 UTF-16 characters, all Windows allows, in any script). What is larger is something else
// saved under a pointer file's name: a package, a log, a copy gone wrong.
inline constexpr std::size_t kPointerFileLimit = 4096;
// The most lines a pointer file may have; mode 1 waits a second after each one.
inline constexpr int kPointerLineLimit = 16;

// What is wrong with `content` as a pointer file's, as the rest of a sentence that starts with the
// file ("is larger than 4096 bytes"); empty when nothing is. Reading more than kPointerFileLimit
// bytes of a file is enough to tell. A pointer file is text: no control character but the line
// feed, and the carriage return before one.
std::string pointerFileProblem(const std::string& content);

// What a pointer file holds, as far as it was read.
struct PointerFile {
  enum Outcome {
    Read,
    NotOpened,  // the file is missing or cannot be read
    Refused,    // no pointer file: `problem` (pointerFileProblem()) says why
  };
  Outcome outcome = NotOpened;
  std::string problem;
  // Every line, without its line end (a carriage return before a line feed is dropped, and so is
  // a byte-order mark at the very start of the file); the last is the package name when the file
  // does not end with a line feed.
  std::vector<std::string> lines;
  // The text after the last line feed: empty when the file ends with one.
  std::string packageName;
};

// Reads the pointer file at `path`. A file that is no pointer file is refused whole: none of its
// lines is read.
PointerFile readPointerFile(const std::string& path);

// The lines and the package name of `content` that passed pointerFileProblem(), byte-order mark
// and all.
PointerFile pointerLinesOf(const std::string& content);

}  // namespace provision
