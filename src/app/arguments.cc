#include "app/arguments.h"

#include <cctype>
#include <climits>
#include <cstdint>

#include "app/console.h"
#include "log/run_log.h"
#include "settings/settings.h"
#include "workspace/local_name.h"

namespace provision {

std::string parseMode(const char* text, int& mode) {
  const char* p = text;
  while (*p != '\0' && std::isspace(static_cast<unsigned char>(*p))) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  if (!std::isdigit(static_cast<unsigned char>(*p))) return "invalid stoi argument";

  // Accumulate as a negative number so that INT_MIN fits; stop once the value cannot be an int.
  std::int64_t value = 0;
  bool overflow = false;
  for (; std::isdigit(static_cast<unsigned char>(*p)); ++p) {
    if (overflow) continue;
    value = value * 10 + (*p - '0');
    if (value > static_cast<std::int64_t>(INT_MAX) + 1) overflow = true;
  }
  if (!negative && value > INT_MAX) overflow = true;
  if (overflow) return "stoi argument out of range";
  mode = static_cast<int>(negative ? -value : value);
  return {};
}

Request requestOf(int argc, const char* const* argv) {
  if (argc < 2) return Request::Run;
  const std::string first = argv[1];
  const std::string platformHelp = platformHelpSwitch();
  if (first == "--help" || first == "-h" || (!platformHelp.empty() && first == platformHelp))
    return Request::Help;
  if (first == "--version") return Request::Version;
  if (first == "--licenses") return Request::Licenses;
  if (first == "--history") return Request::History;
  return Request::Run;
}

std::string applyArguments(int argc, const char* const* argv, Settings& target) {
  if (argc > 1) {
    std::string error = parseMode(argv[1], target.mode);
    if (!error.empty()) return error;
  }
  if (argc > 2) {
    // The variant names a folder of the data tree; it may not lead out of it.
    const std::string variant = argv[2];
    if (!variant.empty() && !isSafeLocalName(variant))
      return "The variant argument \"" + printable(variant) + "\" cannot name a folder";
    target.configVariant = variant;
  }
  if (argc > 3) target.calibrationSubfolder = argv[3];
  return {};
}

}  // namespace provision
