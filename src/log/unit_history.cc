#include "log/unit_history.h"

#include <chrono>
#include <cstdio>
#include <vector>

#include "log/csv.h"
#include "log/history_file.h"
#include "log/text.h"

namespace provision {
namespace {

// UTF-8's byte-order mark, by which a spreadsheet knows the file's encoding.
constexpr const char* kByteOrderMark = "\xEF\xBB\xBF";
constexpr const char* kRecordEnd = "\r\n";

HistoryEntry* activeEntry = nullptr;

void note(HistoryColumn column, const std::string& value) {
  if (activeEntry != nullptr) activeEntry->set(column, value);
}

}  // namespace

const std::array<const char*, kHistoryColumnCount>& historyColumnNames() {
  static const std::array<const char*, kHistoryColumnCount> names = {
      "start",
      "station",
      "version",
      "commit",
      "mode",
      "variant",
      "calibration_subfolder",
      "device_line",
      "uid",
      "model_code",
      "model_label",
      "package_server",
      "package",
      "package_sha256",
      "calibration_folder",
      "calibration_files",
      "calibration_sha256",
      "exit_status",
      "meaning",
      "duration_s",
      "package_check",
      "device_check",
  };
  return names;
}

HistoryEntry::HistoryEntry() { activeEntry = this; }

HistoryEntry::~HistoryEntry() {
  if (activeEntry == this) activeEntry = nullptr;
}

void noteUnit(const std::string& uid, const std::string& modelCode, const std::string& modelLabel) {
  note(kHistoryUid, uid);
  note(kHistoryModelCode, modelCode);
  note(kHistoryModelLabel, modelLabel);
}

void HistoryEntry::deviceChecked(bool matched) {
  if (!matched) deviceCheckFailed_ = true;
  row_[kHistoryDeviceCheck] = deviceCheckFailed_ ? "" : kDeviceCheckedBySha256;
}

void notePackage(const std::string& name) {
  note(kHistoryPackage, name);
  note(kHistoryPackageSha256, "");
  note(kHistoryPackageCheck, "");
}

void notePackageSent(const std::string& sha256, const std::string& check) {
  note(kHistoryPackageSha256, sha256);
  note(kHistoryPackageCheck, check);
}

void noteDeviceCheck(bool matched) {
  if (activeEntry != nullptr) activeEntry->deviceChecked(matched);
}

void noteCalibrationFolder(const std::string& name) { note(kHistoryCalibrationFolder, name); }

void noteCalibrationSet(std::size_t files, const std::string& sha256) {
  note(kHistoryCalibrationFiles, std::to_string(files));
  note(kHistoryCalibrationSha256, sha256);
}

std::string historyTime(std::time_t time) {
  std::tm local{};
  if (!toLocalTime(time, local)) return {};
  // The local time read as if it were UTC, less the time itself: the offset, rounded to minutes
  // (a leap second or an old zone's seconds aside).
  using namespace std::chrono;
  const sys_days date{year{local.tm_year + 1900} / month{static_cast<unsigned>(local.tm_mon + 1)} /
                      std::chrono::day{static_cast<unsigned>(local.tm_mday)}};
  const long long localSeconds = date.time_since_epoch().count() * 86400LL +
                                 local.tm_hour * 3600LL + local.tm_min * 60LL + local.tm_sec;
  const long long offsetSeconds = localSeconds - static_cast<long long>(time);
  const long long offset = (offsetSeconds + (offsetSeconds < 0 ? -30 : 30)) / 60;
  const long long minutes = offset < 0 ? -offset : offset;
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%c%02lld:%02lld",
                local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                local.tm_sec, offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
  return text;
}

std::string historyRecordText(const HistoryRow& row) {
  // A name from outside that is not UTF-8 text (a pointer file saved in another code page) would
  // make the whole file unreadable as UTF-8, and a line break would split the row on the screen.
  std::vector<std::string> fields;
  for (const std::string& field : row) fields.push_back(printable(field));
  return csvRecord(fields);
}

bool appendHistoryRow(const std::string& path, const HistoryRow& row) {
  const auto& names = historyColumnNames();
  const std::string head =
      kByteOrderMark + csvRecord(std::vector<std::string>(names.begin(), names.end())) + kRecordEnd;
  return appendToSharedFile(path, head, historyRecordText(row) + kRecordEnd, kRecordEnd);
}

}  // namespace provision
