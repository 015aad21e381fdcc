// Latest-version pointer files: what is refused is exactly what holds a control character other
// than a line feed and the carriage return before one, is larger than the limit or has more lines
// than the limit, whatever bytes the file holds. What is read passes every line through the
// per-line action once, without its line feed and without a carriage return before it, shown as
// printable text; the name is the text after the last line feed. A byte-order mark at the very
// start is no part of the first line. Nothing echoed holds a control character but line feeds.
#include <iostream>
#include <sstream>
#include <vector>

#include "log/text.h"
#include "property.h"
#include "workspace/latest_version.h"

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

std::string expectedEcho(const std::string& content) {
  const std::vector<std::string> pieces = piecesOf(content);
  std::string echo;
  for (size_t i = 0; i + 1 < pieces.size(); ++i) {
    std::string line = pieces[i];
    if (!line.empty() && line.back() == '\r') line.pop_back();
    echo += printable(line) + "\n";
  }
  if (!pieces.back().empty())
    echo += printable(pieces.back()) + "\n";  // a last line without a line feed
  return echo;
}

// What readPointerLines writes to standard output with PerLine::Echo.
std::string echoOf(const std::string& content, std::string& name) {
  std::ostringstream echoed;
  std::streambuf* console = std::cout.rdbuf(echoed.rdbuf());
  readPointerLines(content, PerLine::Echo, name);
  std::cout.rdbuf(console);
  return echoed.str();
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
  std::string name = "unchanged";
  const std::string echoed = echoOf(file, name);
  require(name == piecesOf(content).back(), "the name is the text after the last line feed");
  require(echoed == expectedEcho(content), "each line is echoed once, without its line break");
  for (char c : echoed) {
    require(c == '\n' || !provision::isControlCharacter(c), "no control character is echoed");
  }
  return 0;
}
