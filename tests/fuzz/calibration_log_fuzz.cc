// The calibration log: what is read is the text up to the first line feed, without a carriage
// return right before it, and nothing from a later line.
#include <sstream>

#include "install/calibration_log.h"
#include "property.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using provision::fuzz::require;
  const std::string content = provision::fuzz::textOf(data, size);
  std::istringstream in(content);
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
