// Latest-version pointer files: every line passes through the per-line action once, without its
// line feed and without a carriage return before it, and the name is the text after the last line
// feed, whatever bytes (NUL, lone carriage returns, very long lines) the file holds. A byte-order
// mark at the very start is no part of the first line.
#include <iostream>
#include <sstream>
#include <vector>

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

std::string expectedEcho(const std::string& content) {
  const std::vector<std::string> pieces = piecesOf(content);
  std::string echo;
  for (size_t i = 0; i + 1 < pieces.size(); ++i) {
    std::string line = pieces[i];
    if (!line.empty() && line.back() == '\r') line.pop_back();
    echo += line + "\n";
  }
  if (!pieces.back().empty()) echo += pieces.back() + "\n";  // a last line without a line feed
  return echo;
}

// What readLatestVersion writes to standard output with PerLine::Echo.
std::string echoOf(const std::string& content, std::string& name) {
  std::istringstream in(content);
  std::ostringstream echoed;
  std::streambuf* console = std::cout.rdbuf(echoed.rdbuf());
  readLatestVersion(in, PerLine::Echo, name);
  std::cout.rdbuf(console);
  return echoed.str();
}

}  // namespace
}  // namespace provision::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace provision::fuzz;
  const std::string file = textOf(data, size);
  const std::string content = file.starts_with("\xEF\xBB\xBF") ? file.substr(3) : file;
  std::string name = "unchanged";
  const std::string echoed = echoOf(file, name);
  require(name == piecesOf(content).back(), "the name is the text after the last line feed");
  require(echoed == expectedEcho(content), "each line is echoed once, without its line break");
  return 0;
}
