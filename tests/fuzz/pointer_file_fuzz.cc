// Latest-version pointer files: what is refused is exactly what holds a control character other
// than a line feed and the carriage return before one, is larger than the limit or has more lines
// than the limit, whatever bytes the file holds. What is read gives every line once, without its
// line feed and without a carriage return before it; the name is the text after the last line
// feed. A byte-order mark at the very start is no part of the first line. No line holds a control
// character.
#include <vector>

#include "log/text.h"
#include "package/latest_version.h"
#include "property.h"

namespace provision::fuzz {
namespace {

// The pieces of `text` between line feeds: one more than there are line feeds.
std::vector<std::string> piecesOf(const std::string& text) {
  std::vector<std::string> pieces;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    pieces.push_back(text.substr(start, end - start));
  }
  pieces.push_back(text.substr(start));
  return pieces;
}

// Whether a pointer file of `content` is to be refused, told apart from the pieces.
bool refused(const std::string& content) {
  if (content.size() > kPointerFileLimit) return true;
  const std::vector<std::string> pieces = piecesOf(content);
  const std::size_t lines = pieces.size() - (pieces.back().empty() ? 1 : 0);
  if (lines > static_cast<std::size_t>(kPointerLineLimit)) return true;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    std::string line = pieces[i];
    if (i + 1 < pieces.size() && line.ends_with('\r')) line.pop_back();
    for (char c : line) {
      if (isControlCharacter(c)) return true;
    }
  }
  return false;
}

std::vector<std::string> expectedLines(const std::string& content) {
  const std::vector<std::string> pieces = piecesOf(content);
  std::vector<std::string> lines;
  for (size_t i = 0; i + 1 < pieces.size(); ++i) {
    std::string line = pieces[i];
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  if (!pieces.back().empty()) lines.push_back(pieces.back());  // a last line without a line feed
  return lines;
}

}  // namespace
}  // namespace provision::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace provision::fuzz;
  const std::string file = textOf(data, size);
  const std::string problem = provision::pointerFileProblem(file);
  require(problem.empty() != refused(file), "what is refused holds no text or is too long");
  if (!problem.empty()) return 0;

  const std::string content = file.starts_with("\xEF\xBB\xBF") ? file.substr(3) : file;
  const provision::PointerFile read = provision::pointerLinesOf(file);
  require(read.packageName == piecesOf(content).back(),
          "the name is the text after the last line feed");
  require(read.lines == expectedLines(content), "each line is read once, without its line break");
  for (const std::string& line : read.lines) {
    for (char c : line)
      require(!provision::isControlCharacter(c), "no line holds a control character");
  }
  return 0;
}
