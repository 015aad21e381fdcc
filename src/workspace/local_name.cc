#include "workspace/local_name.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <string_view>

#include "log/text.h"

namespace provision {
namespace {

bool isPosixSafe(const std::string& name) {
  bool onlyDotsAndBlanks = true;
  for (char character : name) {
    if (character == '/' || character == '\\' || isControlCharacter(character)) return false;
    if (character != '.' && character != ' ') onlyDotsAndBlanks = false;
  }
  return !onlyDotsAndBlanks;
}

// Win32 opens these as devices in any folder, whatever extension follows. "¹", "²" and "³" (UTF-8)
// count as digits after COM and LPT.
bool isReservedDeviceName(std::string_view name) {
  // The part before the first dot, without the blanks Win32 strips from it.
  std::string stem(name.substr(0, name.find('.')));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  std::transform(stem.begin(), stem.end(), stem.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  static constexpr std::array<std::string_view, 6> kDevices = {"CON", "PRN",    "AUX",
                                                               "NUL", "CONIN$", "CONOUT$"};
  if (std::find(kDevices.begin(), kDevices.end(), stem) != kDevices.end()) return true;
  if (stem.rfind("COM", 0) != 0 && stem.rfind("LPT", 0) != 0) return false;
  const std::string_view number = std::string_view(stem).substr(3);
  if (number.size() == 1) return std::isdigit(static_cast<unsigned char>(number[0])) != 0;
  return number == "\xC2\xB9" || number == "\xC2\xB2" || number == "\xC2\xB3";
}

bool isWindowsSafe(const std::string& name) {
  if (!isPosixSafe(name)) return false;
  if (name.find_first_of("<>:\"|?*") != std::string::npos) return false;
  if (name.back() == '.' || name.back() == ' ') return false;
  return !isReservedDeviceName(name);
}

// The lower-case letter of the code point `c`, for the scripts foldedCase() knows.
char32_t lowerOf(char32_t c) {
  if (c >= U'A' && c <= U'Z') return c + 0x20;
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 0x20;
  if (c == 0x178) return 0xFF;  // the upper case of y with diaeresis, which Latin-1 lacks
  if (c >= 0x100 && c <= 0x17F && c != 0x130 && c != 0x131 && c != 0x138 && c != 0x149 &&
      c != 0x17F) {
    // Pairs of upper and lower case, the upper one first; from U+0139 to U+0148 and from U+0179
    // on the upper one is odd.
    const bool oddUpper = (c >= 0x139 && c <= 0x148) || c >= 0x179;
    const bool upper = oddUpper ? (c % 2 == 1) : (c % 2 == 0);
    return upper ? c + 1 : c;
  }
  if (c >= 0x391 && c <= 0x3A9 && c != 0x3A2) return c + 0x20;
  if (c >= 0x410 && c <= 0x42F) return c + 0x20;
  if (c >= 0x400 && c <= 0x40F) return c + 0x50;
  return c;
}

void appendUtf8(std::string& text, char32_t c) {
  if (c < 0x80) {
    text += static_cast<char>(c);
  } else if (c < 0x800) {
    text += static_cast<char>(0xC0 | (c >> 6));
    text += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    text += static_cast<char>(0xE0 | (c >> 12));
    text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    text += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

bool isSafeOnEveryStation(const std::string& name) { return isWindowsSafe(name); }

std::string foldedCase(const std::string& name) {
  std::string folded;
  for (std::size_t at = 0; at < name.size();) {
    const auto lead = static_cast<unsigned char>(name[at]);
    // Two-byte sequences hold every letter folded here but none of ASCII.
    if (lead >= 0xC2 && lead <= 0xDF && at + 1 < name.size() &&
        (static_cast<unsigned char>(name[at + 1]) & 0xC0) == 0x80) {
      const char32_t c = (static_cast<char32_t>(lead & 0x1F) << 6) |
                         (static_cast<unsigned char>(name[at + 1]) & 0x3F);
      appendUtf8(folded, lowerOf(c));
      at += 2;
      continue;
    }
    folded += lead < 0x80 ? static_cast<char>(lowerOf(lead)) : name[at];
    ++at;
  }
  return folded;
}

bool isSafeLocalName(const std::string& name, NameRule rule) {
  return rule == NameRule::Windows ? isWindowsSafe(name) : isPosixSafe(name);
}

}  // namespace provision
