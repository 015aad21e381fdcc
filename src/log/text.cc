#include "log/text.h"

namespace provision {

bool isControlCharacter(char character) {
  const auto c = static_cast<unsigned char>(character);
  return c < 0x20 || c == 0x7f;
}

namespace {

// The length of the well-formed UTF-8 sequence at `at`, or 0 when none starts there.
std::size_t utf8SequenceAt(const std::string& text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  if (lead < 0x80) return 1;
  std::size_t length;
  unsigned char low = 0x80;   // the range of the byte after the lead, which rules out overlong
  unsigned char high = 0xBF;  // forms, surrogates and code points above U+10FFFF
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  if (byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (std::size_t i = at + 2; i < at + length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  }
  return length;
}

}  // namespace

bool isUtf8(const std::string& text) {
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t length = utf8SequenceAt(text, at);
    if (length == 0) return false;
    at += length;
  }
  return true;
}

std::string printable(const std::string& text) {
  std::string shown;
  shown.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t length = utf8SequenceAt(text, at);
    if (length == 0 || isControlCharacter(text[at])) {
      shown += '?';
      ++at;
      continue;
    }
    shown.append(text, at, length);
    at += length;
  }
  return shown;
}

std::string fileNameOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }

bool toLocalTime(std::time_t now, std::tm& out) {
#ifdef _WIN32
  return localtime_s(&out, &now) == 0;
#else
  return localtime_r(&now, &out) != nullptr;
#endif
}

}  // namespace provision
