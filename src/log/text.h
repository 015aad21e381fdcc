// Rules of text that every room shares: what counts as a control character, as UTF-8, the last
// name of a path, how a name from outside is shown in a line, local time, and how narrow UTF-8
// text names a local path.
#pragma once

#include <ctime>
#include <filesystem>
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

// `now` as local time, with the system's thread-safe conversion. False when it fails.
bool toLocalTime(std::time_t now, std::tm& out);

// `utf8` as a path of the standard library, taken as UTF-8 on every platform (the wide calls take
// it on Windows).
inline std::filesystem::path toFsPath(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

}  // namespace provision
