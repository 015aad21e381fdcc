#include "workspace/latest_version.h"

#include <chrono>
#include <fstream>
#include <iostream>
#include <thread>

#include "log/run_record.h"
#include "log/unit_history.h"
#include "workspace/filesystem.h"
#include "workspace/text_file.h"

namespace provision {
namespace {

constexpr auto kPausePerLine = std::chrono::milliseconds(1000);

void afterLine(PerLine perLine, const std::string& line) {
  switch (perLine) {
    case PerLine::None:
      return;
    case PerLine::Echo:
      std::cout << line << std::endl;
      return;
    case PerLine::Pause:
      std::this_thread::sleep_for(kPausePerLine);
      return;
  }
}

}  // namespace

int readLatestVersion(const std::string& path, PerLine perLine, std::string& packageName) {
  std::ifstream in(toFsPath(path), std::ios::binary);
  if (!in) return 2;
  readLatestVersion(in, perLine, packageName);
  recordFact("package: " + packageName);
  notePackage(packageName);
  return 0;
}

int readLatestVersion(std::istream& in, PerLine perLine, std::string& packageName) {
  skipByteOrderMark(in);
  int lines = 0;
  // std::getline empties the string before a read that meets the end of the file at once, but not
  // once the end has been met: so a file ending in a line feed leaves the name empty.
  while (std::getline(in, packageName)) {
    bool endedByLineFeed = !in.eof();
    if (endedByLineFeed && !packageName.empty() && packageName.back() == '\r') {
      packageName.pop_back();
    }
    afterLine(perLine, packageName);
    ++lines;
  }
  return lines;
}

}  // namespace provision
