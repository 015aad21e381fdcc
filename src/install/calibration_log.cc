#include "install/calibration_log.h"

#include <fstream>

#include "workspace/filesystem.h"
#include "workspace/text_file.h"

namespace provision {

bool readFirstLine(std::istream& in, std::string& line) {
  line.clear();
  skipByteOrderMark(in);
  if (!std::getline(in, line)) return false;
  const bool endedByLineFeed = !in.eof();
  if (endedByLineFeed && !line.empty() && line.back() == '\r') line.pop_back();
  return true;
}

bool readFirstLine(const std::string& path, std::string& line) {
  std::ifstream in(toFsPath(path), std::ios::binary);
  if (!in) return false;
  readFirstLine(in, line);
  return true;
}

}  // namespace provision
