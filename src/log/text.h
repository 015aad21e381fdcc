// Rules of text that every room shares: what counts as a control character, as UTF-8, and how a
// name from outside is shown in a line.
#pragma once

#include <string>

namespace provision {

// Whether `character` is a control character (below 0x20, or DEL), which no name may hold.
bool isControlCharacter(char character);

// Whether `text` is well-formed UTF-8 (no stray, overlong or surrogate sequences).
bool isUtf8(const std::string& text);

// `text` with control characters and bytes that are no part of UTF-8 text shown as "?", so that a
// line that quotes it stays one line of UTF-8.
std::string printable(const std::string& text);

}  // namespace provision
