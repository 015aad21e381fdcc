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

}  // namespace

bool isSafeLocalName(const std::string& name, NameRule rule) {
  return rule == NameRule::Windows ? isWindowsSafe(name) : isPosixSafe(name);
}

}  // namespace provision
