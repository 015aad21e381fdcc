// What the local text files that come from outside (pointer files, calibration logs) share: a
// Windows editor may have begun them with a byte-order mark.
#pragma once

#include <cstddef>
#include <istream>
#include <string>

namespace provision {

// The UTF-8 byte-order mark is EF BB BF. No package or folder name begins with it.
inline constexpr std::size_t kByteOrderMarkSize = 3;

// Whether `text` starts with the UTF-8 byte-order mark.
bool hasByteOrderMark(const std::string& text);

// Skips the UTF-8 byte-order mark when `in` starts with one.
void skipByteOrderMark(std::istream& in);

}  // namespace provision
