// Server file names from a unit's calibration folder listing: a name that is fetched, joined to
// the local folder, stays in that folder and names a plain file there under exactly that name, and
// is nothing that Win32 treats specially, whichever station fetches it. Any other name, a
// sub-folder, and a name that is another's but for its case leave the set incomplete. The first
// byte chooses folder or file, the rest is the name; the folder also holds "gain.cal".
#include <algorithm>
#include <filesystem>
#include <regex>

#include "install/calibration_set.h"
#include "property.h"
#include "workspace/local_name.h"

namespace provision::fuzz {
namespace {

constexpr const char* kFolder = "/data/CalFile";

// On POSIX: the joined path, taken apart again, is the folder and the name.
bool staysInFolder(const std::string& name) {
  const std::filesystem::path joined = std::filesystem::path(kFolder) / name;
  const std::filesystem::path normal = joined.lexically_normal();
  return normal.parent_path() == kFolder && normal.filename() == name;
}

bool hasControlCharacter(const std::string& name) {
  for (char c : name) {
    if (static_cast<unsigned char>(c) < 0x20) return true;
  }
  return false;
}

// What Win32 opens as a device whatever the folder: the names, in any case and followed by
// blanks, an extension or both; "¹²³" (UTF-8) count as digits after COM and LPT.
bool namesWindowsDevice(const std::string& name) {
  static const std::regex kDevice(
      "CON|PRN|AUX|NUL|CONIN\\$|CONOUT\\$|(COM|LPT)([0-9]|\xC2\xB9|\xC2\xB2|\xC2\xB3)",
      std::regex::icase);
  std::string stem = name.substr(0, name.find('.'));
  stem.erase(stem.find_last_not_of(' ') + 1);
  // Longer than any device name; a long text would also take the regex deep into recursion.
  if (stem.size() > 8) return false;
  return std::regex_match(stem, kDevice);
}

bool isPlainWindowsName(const std::string& name) {
  if (name.find_first_of("\\/:*?\"<>|") != std::string::npos) return false;  // separators, streams
  if (hasControlCharacter(name)) return false;
  if (name.back() == '.' || name.back() == ' ') return false;  // Win32 strips them
  return !namesWindowsDevice(name);
}

}  // namespace
}  // namespace provision::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace provision;
  using fuzz::require;
  if (size == 0) return 0;
  const FtpEntry entry{fuzz::textOf(data + 1, size - 1), (data[0] & 1) != 0};
  const FtpEntry gain{"gain.cal", false};

  require(isSafeLocalName(entry.name, NameRule::Posix) || !isSafeOnEveryStation(entry.name),
          "the every-station rule takes no name the POSIX rule refuses");
  require(isSafeLocalName(entry.name, NameRule::Posix) || !isSafeLocalName(entry.name),
          "the platform's rule is at least the POSIX rule");
  const CalibrationPlan plan = planCalibrationSet({gain, entry}, {}, false);
  const bool fetched = std::find(plan.fromCalibration.begin(), plan.fromCalibration.end(),
                                 entry.name) != plan.fromCalibration.end();
  if (entry.name == "." || entry.name == "..") {
    require(plan.problem.empty(), "dots change nothing");
    return 0;
  }
  if (entry.name == gain.name) {
    // A second listing of the file changes nothing; a folder of its name is a sub-folder.
    require(plan.problem.empty() != entry.isFolder, "a name listed twice is judged by its kind");
    return 0;
  }
  if (entry.isFolder) {
    require(!plan.problem.empty() && !fetched, "a sub-folder leaves the set incomplete");
    require(planCalibrationSet({gain}, {entry}, false).problem.empty(),
            "the configuration folder's sub-folders are passed over");
    return 0;
  }
  if (fetched) {
    require(plan.problem.empty(), "a set with a problem fetches nothing");
    require(fuzz::staysInFolder(entry.name), "a fetched name stays in the folder as a plain file");
    require(!fuzz::hasControlCharacter(entry.name), "a fetched name has no control character");
    require(fuzz::isPlainWindowsName(entry.name), "a fetched name is a plain name on Windows too");
    require(foldedCase(entry.name) != foldedCase(gain.name),
            "no two names of a set name one file on Windows");
  } else if (!isSafeOnEveryStation(entry.name) || foldedCase(entry.name) == foldedCase(gain.name)) {
    require(!plan.problem.empty(), "a name that is no file at every station is no part of a set");
  }
  return 0;
}
