// The unit's calibration log on the package server: its first line names the unit's current
// calibration folder.
#pragma once

#include <istream>
#include <string>

namespace provision {

// The first line of `in`, without a carriage return before its line feed and without a byte-order
// mark at the start. False when `in` holds no line at all (it is empty); `line` is then empty.
bool readFirstLine(std::istream& in, std::string& line);

// The same for the file at `path`. False when the file cannot be opened; an empty file gives an
// empty line.
bool readFirstLine(const std::string& path, std::string& line);

}  // namespace provision
