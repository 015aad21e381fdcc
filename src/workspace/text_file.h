// What the local text files that come from outside (pointer files, calibration logs) share: a
// Windows editor may have begun them with a byte-order mark.
#pragma once

#include <istream>

namespace provision {

// Skips the UTF-8 byte-order mark (EF BB BF) when `in` starts with one. No package or folder name
// begins with it.
void skipByteOrderMark(std::istream& in);

}  // namespace provision
