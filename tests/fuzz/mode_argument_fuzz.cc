// The command line: the mode argument converts like std::stoi, which serves as the reference, and
// a rejected mode stores nothing; a variant is refused exactly when it cannot name a local folder,
// and then it and the sub-folder are not stored. The input is the argument list, NUL-separated.
#include <stdexcept>
#include <vector>

#include "app/arguments.h"
#include "property.h"
#include "settings/settings.h"
#include "workspace/local_name.h"

namespace provision::fuzz {
namespace {

constexpr int kUntouched = 12345;

void checkMode(const std::string& text) {
  int mode = kUntouched;
  const std::string error = parseMode(text.c_str(), mode);
  try {
    const int expected = std::stoi(text);
    require(error.empty(), "a number std::stoi reads is accepted");
    require(mode == expected, "the mode is the value std::stoi reads");
  } catch (const std::invalid_argument&) {
    require(error == "invalid stoi argument", "no number: invalid stoi argument");
    require(mode == kUntouched, "a rejected mode is not stored");
  } catch (const std::out_of_range&) {
    require(error == "stoi argument out of range", "too large: stoi argument out of range");
    require(mode == kUntouched, "a rejected mode is not stored");
  }
}

void checkArguments(const std::string& input) {
  std::vector<std::string> words{"provision"};
  for (size_t start = 0; words.size() < 6;) {
    const size_t end = input.find('\0', start);
    words.push_back(input.substr(start, end == std::string::npos ? end : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  std::vector<const char*> argv;
  for (const std::string& word : words) argv.push_back(word.c_str());
  const int argc = static_cast<int>(argv.size());

  Settings stored;
  const std::string error = applyArguments(argc, argv.data(), stored);
  const Settings defaults;
  int mode = 0;
  const bool modeRejected = !parseMode(words[1].c_str(), mode).empty();
  const bool variantRejected =
      !modeRejected && argc > 2 && !words[2].empty() && !isSafeLocalName(words[2]);
  require(error.empty() == (!modeRejected && !variantRejected),
          "only a mode that is no number and a variant that names no folder are rejected");
  if (!error.empty()) {
    require(stored.mode == (modeRejected ? defaults.mode : mode),
            "a rejected first argument stores nothing, a rejected variant keeps the mode");
    require(stored.configVariant == defaults.configVariant &&
                stored.calibrationSubfolder == defaults.calibrationSubfolder,
            "nothing from a rejected argument on is stored");
    return;
  }
  require(stored.configVariant == (argc > 2 ? words[2] : defaults.configVariant),
          "the second argument is the variant, copied unchanged");
  require(stored.calibrationSubfolder == (argc > 3 ? words[3] : defaults.calibrationSubfolder),
          "the third argument is the sub-folder, copied unchanged");
}

}  // namespace
}  // namespace provision::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input = provision::fuzz::textOf(data, size);
  provision::fuzz::checkMode(input.c_str());  // an argument ends at its first NUL
  provision::fuzz::checkArguments(input);
  return 0;
}
