#include "install/calibration_set.h"

#include <algorithm>

#include "install/unit_record.h"
#include "log/text.h"
#include "workspace/partial_name.h"

namespace provision {
namespace {

constexpr const char* kRawDataMarker = ".tdms";
constexpr std::size_t kNamesListed = 3;

bool isRawData(const std::string& name) { return name.find(kRawDataMarker) != std::string::npos; }

// "a, b, c and 2 more", in name order.
std::string listOf(std::vector<std::string> names) {
  std::sort(names.begin(), names.end());
  std::string text;
  for (std::size_t i = 0; i < names.size() && i < kNamesListed; ++i)
    text += (i == 0 ? "" : ", ") + printable(names[i]);
  if (names.size() > kNamesListed)
    text += " and " + std::to_string(names.size() - kNamesListed) + " more";
  return text;
}

}  // namespace

bool isCalibrationFile(const std::string& name) {
  return !isRawData(name) && name.find(kCalibrationLog) == std::string::npos &&
         name != kUnitRecordName && !isPartialDownloadName(name);
}

std::string describeWithoutCalibration(const std::vector<std::string>& names,
                                       const std::vector<std::string>& folders) {
  std::vector<std::string> raw;
  std::vector<std::string> logs;
  for (const std::string& name : names) {
    if (isRawData(name))
      raw.push_back(name);
    else if (name.find(kCalibrationLog) != std::string::npos)
      logs.push_back(name);
  }
  std::vector<std::string> parts;
  if (!raw.empty()) parts.push_back("raw recordings (" + listOf(raw) + ")");
  if (!folders.empty()) parts.push_back("sub-folders (" + listOf(folders) + ")");
  if (!logs.empty()) parts.push_back("calibration logs (" + listOf(logs) + ")");
  if (parts.empty()) return "nothing";
  std::string text = "only " + parts.front();
  for (std::size_t i = 1; i < parts.size(); ++i)
    text += (i + 1 == parts.size() ? " and " : ", ") + parts[i];
  return text;
}

}  // namespace provision
