// Rules of text that every room shares: what counts as a control character, as UTF-8, the last
// name of a path, and how a name from outside is shown in a line.
#pragma once

#include <string>

namespace provision {

// Whether `character` is a control character (below 0x20, or DEL), which no name may hold.
bool isControlCharacter(char character);

// Whether `text` is well-formed UTF-8 (no stray, overlong or surrogate sequences).
bool isUtf8(const std::string& text);

// The last name of a path with "/" between its names (a server or device path): what follows the
// last "/", or the whole path when it holds none.
std::string fileNameOf(const std::string& path);

// `text` with control characters and bytes that are no part of UTF-8 text shown as "?", so that a
// line that quotes it stays one line of UTF-8.
std::string printable(const std::string& text);

}  // namespace provision
