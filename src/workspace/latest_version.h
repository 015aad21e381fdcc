// Latest-version pointer files: a text file beside the packages that names the current one, read
// from the local copy in the data folder.
#pragma once

#include <istream>
#include <string>

namespace provision {

// What readLatestVersion does after each line it reads.
enum class PerLine { None, Echo, Pause };

// Reads the pointer file at `path`; `packageName` receives the text after the last line feed
// (empty when the file ends with one). A carriage return before a line feed is dropped, and so is
// a byte-order mark at the very start of the file (Windows editors write one).
// Returns 0, or 2 when the file cannot be opened (packageName unchanged).
int readLatestVersion(const std::string& path, PerLine perLine, std::string& packageName);

// The same for the content of `in`, which is read to its end. Returns the number of lines read,
// each of which had the per-line action.
int readLatestVersion(std::istream& in, PerLine perLine, std::string& packageName);

}  // namespace provision
