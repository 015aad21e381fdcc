#include "package/digest_file.h"

#include <cctype>

#include "log/text.h"
#include "package/file_digest.h"
#include "workspace/text_file.h"

namespace provision {
namespace {

constexpr std::size_t kHexDigits = 64;

std::string lowerCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The next line of `content` from `start`, without its line end; `start` moves past it.
std::string nextLine(const std::string& content, std::size_t& start) {
  const std::size_t end = content.find('\n', start);
  std::string line = content.substr(start, end == std::string::npos ? end : end - start);
  start = end == std::string::npos ? content.size() : end + 1;
  if (line.ends_with('\r')) line.pop_back();
  return line;
}

}  // namespace

std::string digestFileName(const std::string& packageName) { return packageName + ".sha256"; }

std::string digestFor(const std::string& content, const std::string& packageName,
                      std::string& sha256) {
  sha256.clear();
  if (content.size() > kDigestFileLimit)
    return "is larger than " + std::to_string(kDigestFileLimit) + " bytes: it is no digest file";
  std::size_t start = hasByteOrderMark(content) ? kByteOrderMarkSize : 0;
  std::string found;
  while (start < content.size()) {
    const std::string line = nextLine(content, start);
    // "DIGEST  NAME" or, in binary mode, "DIGEST *NAME".
    if (line.size() < kHexDigits + 2 || line[kHexDigits] != ' ' ||
        (line[kHexDigits + 1] != ' ' && line[kHexDigits + 1] != '*'))
      continue;
    if (line.substr(kHexDigits + 2) != packageName) continue;
    const std::string digest = lowerCase(line.substr(0, kHexDigits));
    if (!isSha256Hex(digest))
      return "gives \"" + printable(line.substr(0, kHexDigits)) + "\" for " +
             printable(packageName) + ", which is no SHA-256";
    if (!found.empty() && found != digest)
      return "gives two different SHA-256 for " + printable(packageName);
    found = digest;
  }
  if (found.empty()) return "names no SHA-256 of " + printable(packageName);
  sha256 = found;
  return {};
}

}  // namespace provision
