// The calibration log: what is read is the text up to the first line feed, without a carriage
// return right before it, nothing from a later line, and no byte-order mark from the file's start.
#include <sstream>

#include "install/calibration_log.h"
#include "property.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using provision::fuzz::require;
  const std::string file = provision::fuzz::textOf(data, size);
  const std::string content = file.starts_with("\xEF\xBB\xBF") ? file.substr(3) : file;
  std::istringstream in(file);
  std::string line = "unchanged";
  const bool hasLine = provision::readFirstLine(in, line);

  require(hasLine == !content.empty(), "only an empty log holds no line");
  const size_t lineFeed = content.find('\n');
  std::string expected = content.substr(0, lineFeed);
  if (lineFeed != std::string::npos && !expected.empty() && expected.back() == '\r') {
    expected.pop_back();
  }
  require(line == expected, "the line is the text before the first line feed, less a CR there");
  return 0;
}
