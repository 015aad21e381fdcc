// Which names can be the name of a local file: what comes from outside (a pointer file, the
// package server's listing, an argument) is checked here before it names a file beside the
// executable.
#pragma once

#include <string>

namespace provision {

// The file-name rules of the systems the program runs on.
enum class NameRule {
  Posix,
  Windows,  // also refuses what Win32 treats specially: device names, streams, stripped endings
};

#ifdef _WIN32
inline constexpr NameRule kLocalNameRule = NameRule::Windows;
#else
inline constexpr NameRule kLocalNameRule = NameRule::Posix;
#endif

// Whether `name` can be a file name directly inside a local folder: not empty, no "/", "\" or
// control character, and not made of dots and blanks only (".", "..", " .. " and the like). The
// Windows rule also refuses the characters Win32 does not allow in a name (":" would name an
// alternate data stream), the reserved device names (CON, PRN, AUX, NUL, COM0-9, LPT0-9, also with
// an extension and in any case) and names ending in a dot or a blank, which Win32 strips.
bool isSafeLocalName(const std::string& name, NameRule rule = kLocalNameRule);

// Whether `name` can be a file name at every station, Linux or Windows (the Windows rule, which
// holds the Linux one), so that a set of files from outside gets the same verdict everywhere.
bool isSafeOnEveryStation(const std::string& name);

// `name` with its letters in lower case, as far as a Windows file system tells names apart by case
// (ASCII, the Latin-1 and Latin Extended-A letters, Greek and Cyrillic): two names that fold alike
// name one file there. Bytes that are no UTF-8 text stay as they are.
std::string foldedCase(const std::string& name);

}  // namespace provision
