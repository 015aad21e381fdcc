#include "install/calibration_set.h"

#include <algorithm>
#include <map>

#include "install/unit_record.h"
#include "log/text.h"
#include "workspace/local_name.h"
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

bool isDotEntry(const FtpEntry& entry) { return entry.name == "." || entry.name == ".."; }

// Plans one folder's entries into `fetched`: 0 problems, or the first, in words.
std::string planFolder(const std::vector<FtpEntry>& entries, bool foldersAllowed,
                       std::vector<std::string>& fetched, std::vector<std::string>& raw) {
  for (const FtpEntry& entry : entries) {
    if (isDotEntry(entry)) continue;
    if (entry.isFolder) {
      if (foldersAllowed) continue;
      return "a sub-folder, " + printable(entry.name) +
             ", whose files no unit gets (a set's files lie in its folder itself)";
    }
    if (!isSafeOnEveryStation(entry.name)) {
      std::string problem = "\"";
      problem += printable(entry.name);
      return problem + "\", which cannot be a file's name at every station (Linux and Windows)";
    }
    if (isRawData(entry.name)) {
      raw.push_back(entry.name);
      continue;
    }
    if (entry.name.find(kCalibrationLog) != std::string::npos) continue;
    fetched.push_back(entry.name);
  }
  return {};
}

// Two names of the set that differ in case only, which would name one file on Windows: "Gain.cal
// and gain.cal"; empty when there are none. The same name in both folders is one file.
std::string caseTwins(const std::vector<std::string>& names) {
  std::map<std::string, std::string> byFolded;
  for (const std::string& name : names) {
    const auto [found, added] = byFolded.emplace(foldedCase(name), name);
    if (!added && found->second != name) {
      std::string first = found->second;
      std::string second = name;
      if (second < first) std::swap(first, second);
      return printable(first) + " and " + printable(second);
    }
  }
  return {};
}

}  // namespace

std::vector<std::string> CalibrationPlan::files() const {
  std::vector<std::string> names = fromCalibration;
  for (const std::string& name : fromConfiguration) {
    if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
  }
  return names;
}

namespace {

// The plan, with the names found up to its problem, if any.
CalibrationPlan planNames(const std::vector<FtpEntry>& calibration,
                          const std::vector<FtpEntry>& configuration, bool subfolderGiven) {
  CalibrationPlan plan;
  std::vector<std::string> raw;
  plan.problem = planFolder(calibration, false, plan.fromCalibration, raw);
  if (!plan.problem.empty()) return plan;
  if (plan.fromCalibration.empty()) {
    plan.problem = describeWithoutCalibration(raw, {}) + ", no calibration file";
    return plan;
  }
  std::vector<std::string> ignoredRaw;
  plan.problem = planFolder(configuration, !subfolderGiven, plan.fromConfiguration, ignoredRaw);
  if (!plan.problem.empty()) {
    plan.where = CalibrationPlan::InConfiguration;
    return plan;
  }
  std::string twins = caseTwins(plan.fromCalibration);
  plan.where = CalibrationPlan::InCalibration;
  if (twins.empty()) {
    twins = caseTwins(plan.fromConfiguration);
    plan.where = CalibrationPlan::InConfiguration;
  }
  if (twins.empty()) {
    twins = caseTwins(plan.files());
    plan.where = CalibrationPlan::InBoth;
  }
  if (!twins.empty()) {
    plan.problem = "two files whose names differ in case only, " + twins +
                   ", which would be one file on a Windows station";
  }
  return plan;
}

}  // namespace

CalibrationPlan planCalibrationSet(const std::vector<FtpEntry>& calibration,
                                   const std::vector<FtpEntry>& configuration,
                                   bool subfolderGiven) {
  CalibrationPlan plan = planNames(calibration, configuration, subfolderGiven);
  // A set that is not whole has nothing to fetch.
  if (!plan.problem.empty()) {
    plan.fromCalibration.clear();
    plan.fromConfiguration.clear();
  }
  return plan;
}

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
