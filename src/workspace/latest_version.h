// Latest-version pointer files: a short text file beside the packages that names the current one,
// read from the local copy in the data folder.
#pragma once

#include <cstddef>
#include <string>

namespace provision {

// What readLatestVersion does after each line it reads.
enum class PerLine { None, Echo, Pause };

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

enum class PointerRead {
  Read,
  NotOpened,  // the file is missing or cannot be read; nothing is said
  Refused,    // no pointer file (pointerFileProblem()): one error line names it
};

// Reads the pointer file at `path`: `packageName` receives the text after the last line feed
// (empty when the file ends with one), and every line has the per-line action. A carriage return
// before a line feed is dropped, and so is a byte-order mark at the very start of the file
// (Windows editors write one). A file that is no pointer file is refused before any line is
// echoed or waited for; `packageName` is left as it was unless the file was read.
PointerRead readLatestVersion(const std::string& path, PerLine perLine, std::string& packageName);

// The same for `content` that passed pointerFileProblem(), byte-order mark and all. Returns the
// number of lines read. Echo writes a line as printable() shows it.
int readPointerLines(const std::string& content, PerLine perLine, std::string& packageName);

}  // namespace provision
