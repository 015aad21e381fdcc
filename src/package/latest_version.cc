#include "package/latest_version.h"

#include <cstdio>
#include <fstream>

#include "log/text.h"
#include "workspace/filesystem.h"
#include "workspace/text_file.h"

namespace provision {
namespace {

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

PointerFile readPointerFile(const std::string& path) {
  std::ifstream in(toFsPath(path), std::ios::binary);
  if (!in) return {};
  std::string content(kPointerFileLimit + 1, '\0');
  in.read(content.data(), static_cast<std::streamsize>(content.size()));
  if (in.bad()) return {};
  content.resize(static_cast<std::size_t>(in.gcount()));
  if (std::string problem = pointerFileProblem(content); !problem.empty())
    return {PointerFile::Refused, std::move(problem), {}, {}};
  return pointerLinesOf(content);
}

PointerFile pointerLinesOf(const std::string& content) {
  PointerFile file{PointerFile::Read, {}, {}, {}};
  std::size_t start = hasByteOrderMark(content) ? kByteOrderMarkSize : 0;
  for (std::size_t end; (end = content.find('\n', start)) != std::string::npos; start = end + 1) {
    std::string line = content.substr(start, end - start);
    if (line.ends_with('\r')) line.pop_back();
    file.lines.push_back(std::move(line));
  }
  // A file that ends with a line feed names no package: the text after it is empty.
  file.packageName = content.substr(start);
  if (!file.packageName.empty()) file.lines.push_back(file.packageName);
  return file;
}

}  // namespace provision
