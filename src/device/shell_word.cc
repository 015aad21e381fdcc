#include "device/shell_word.h"

namespace provision {
namespace {

bool isPlainCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '_' || c == '+' || c == '-';
}

}  // namespace

bool isPlainWord(const std::string& text) {
  if (!text.empty() && text.front() == '-') return false;
  for (char c : text) {
    if (!isPlainCharacter(c)) return false;
  }
  return true;
}

std::string shellWord(const std::string& text) {
  if (isPlainWord(text)) return text;
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

std::string fileWord(const std::string& folder, const std::string& name) {
  if (folder.empty() && !name.empty() && name.front() == '-') return "./" + shellWord(name);
  return folder + shellWord(name);
}

std::string grepPattern(const std::string& pattern) {
  return isPlainWord(pattern) ? pattern : "-e " + shellWord(pattern);
}

std::string pathWord(const std::string& path) {
  std::string word;
  std::size_t start = 0;
  for (;;) {
    const std::size_t slash = path.find('/', start);
    const std::string name = path.substr(start, slash == std::string::npos ? slash : slash - start);
    if (!name.empty()) word += shellWord(name);
    if (slash == std::string::npos) return word;
    word += '/';
    start = slash + 1;
  }
}

}  // namespace provision
