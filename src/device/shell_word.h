// How text from outside the program goes into a command line for the device's shell. Names come
// from pointer files, folder listings, the command line and the device's own answers; each must
// reach its command as exactly one word, never expanded and never read as an option or as more
// shell code. Every command line that carries such a name builds it with these functions.
#pragma once

#include <string>

namespace provision {

// Whether `text` goes into a command line as it stands: nothing but letters, digits and "._+-",
// and no "-" at its start. (An empty text counts as plain: it adds nothing to the line.)
bool isPlainWord(const std::string& text);

// `text` as one word for a POSIX shell: a plain word as it stands, anything else in single quotes,
// with a quote inside written as '\''. Quoting does not keep a command from reading a word that
// begins with "-" as an option: such names go in with fileWord() or grepPattern().
std::string shellWord(const std::string& text);

// A path of names joined by "/" as one word: each name as shellWord() gives it, the slashes as
// they stand ("QMServer/bin/QMServer", "/opt/.provision-0a1b.part", "'Kanal 1'/gain.cal").
std::string pathWord(const std::string& path);

// The file `name` in `folder` as one word: `folder` (a device folder ending in "/", or empty for
// the login's starting folder) followed by the name as shellWord() gives it. Without a folder, a
// name that begins with "-" gets "./" before it, so that it names the same file and is no option.
std::string fileWord(const std::string& folder, const std::string& name);

// `pattern` as the pattern argument of grep: a plain word as it stands, anything else quoted after
// "-e", so that grep takes it as its pattern whatever it begins with.
std::string grepPattern(const std::string& pattern);

}  // namespace provision
