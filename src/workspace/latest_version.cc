#include "workspace/latest_version.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <thread>

#include "log/run_log.h"
#include "log/run_record.h"
#include "log/text.h"
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
      std::cout << printable(line) << std::endl;
      return;
    case PerLine::Pause:
      std::this_thread::sleep_for(kPausePerLine);
      return;
  }
}

std::string byteText(unsigned char byte) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", byte);
  return text;
}

}  // namespace

std::string pointerFileProblem(const std::string& content) {
  if (content.size() > kPointerFileLimit) {
    return "is larger than " + std::to_string(kPointerFileLimit) + " bytes";
  }
  int lines = 0;
  for (std::size_t at = 0; at < content.size(); ++at) {
    const char byte = content[at];
    if (byte == '\n' || (byte == '\r' && at + 1 < content.size() && content[at + 1] == '\n')) {
      lines += byte == '\n';
      continue;
    }
    if (isControlCharacter(byte)) {
      return "holds a control character (byte " + byteText(static_cast<unsigned char>(byte)) +
             " at offset " + std::to_string(at) + "): it is no text";
    }
  }
  if (!content.empty() && content.back() != '\n') ++lines;  // a last line without a line feed
  if (lines > kPointerLineLimit) {
    return "has " + std::to_string(lines) + " lines, more than the " +
           std::to_string(kPointerLineLimit) + " a pointer file may have";
  }
  return {};
}

PointerRead readLatestVersion(const std::string& path, PerLine perLine, std::string& packageName) {
  std::ifstream in(toFsPath(path), std::ios::binary);
  if (!in) return PointerRead::NotOpened;
  std::string content(kPointerFileLimit + 1, '\0');
  in.read(content.data(), static_cast<std::streamsize>(content.size()));
  if (in.bad()) return PointerRead::NotOpened;
  content.resize(static_cast<std::size_t>(in.gcount()));
  if (const std::string problem = pointerFileProblem(content); !problem.empty()) {
    writeLog("The pointer file " + path + " is no pointer file: it " + problem +
                 "; nothing was installed",
             kLogError);
    return PointerRead::Refused;
  }
  readPointerLines(content, perLine, packageName);
  recordFact("package: " + packageName);
  notePackage(packageName);
  return PointerRead::Read;
}

int readPointerLines(const std::string& content, PerLine perLine, std::string& packageName) {
  std::size_t start = hasByteOrderMark(content) ? kByteOrderMarkSize : 0;
  int lines = 0;
  for (std::size_t end; (end = content.find('\n', start)) != std::string::npos; start = end + 1) {
    std::string line = content.substr(start, end - start);
    if (line.ends_with('\r')) line.pop_back();
    afterLine(perLine, line);
    ++lines;
  }
  // A file that ends with a line feed names no package: the text after it is empty.
  packageName = content.substr(start);
  if (!packageName.empty()) {
    afterLine(perLine, packageName);
    ++lines;
  }
  return lines;
}

}  // namespace provision
