// The unit history: one row for each run that reached a device, or that the device refused,
// appended to a CSV file beside the executable that a spreadsheet opens as it is. The run notes
// the facts of its row as they become known; the entry point adds the run's own columns and
// writes the row when the run ends.
#pragma once

#include <array>
#include <cstddef>
#include <ctime>
#include <string>

namespace provision {

inline constexpr const char* kHistoryFileName = "provision-history.csv";

// The columns of a row, in the file's order.
enum HistoryColumn : std::size_t {
  kHistoryStart,
  kHistoryStation,
  kHistoryVersion,
  kHistoryCommit,
  kHistoryMode,
  kHistoryVariant,
  kHistorySubfolder,
  kHistoryDeviceLine,
  kHistoryUid,
  kHistoryModelCode,
  kHistoryModelLabel,
  kHistoryServer,
  kHistoryPackage,
  kHistoryPackageSha256,
  kHistoryCalibrationFolder,
  kHistoryCalibrationFiles,
  kHistoryCalibrationSha256,
  kHistoryExitStatus,
  kHistoryMeaning,
  kHistorySeconds,
  // Added after the first files were written: at the end, where readers that know the older
  // columns by their place still find them.
  kHistoryPackageCheck,
  kHistoryDeviceCheck,
  kHistoryColumnCount
};

using HistoryRow = std::array<std::string, kHistoryColumnCount>;

// The names of the header row, e.g. "package_sha256".
const std::array<const char*, kHistoryColumnCount>& historyColumnNames();

// One run's row while the run goes on. While it lives it is the active row, which the note
// functions below fill.
class HistoryEntry {
 public:
  HistoryEntry();
  ~HistoryEntry();
  HistoryEntry(const HistoryEntry&) = delete;
  HistoryEntry& operator=(const HistoryEntry&) = delete;

  void set(HistoryColumn column, std::string value) { row_[column] = std::move(value); }
  const HistoryRow& row() const { return row_; }

  // Marks the run as one the history keeps: it probed the device.
  void keep() { kept_ = true; }
  bool kept() const { return kept_; }

  // A check the unit made of what it holds: the column says "sha256" once one matched and none
  // failed.
  void deviceChecked(bool matched);

 private:
  HistoryRow row_;
  bool kept_ = false;
  bool deviceCheckFailed_ = false;
};

// How the run knew that the package it installed is the package server's (kHistoryPackageCheck).
inline constexpr const char* kCheckedByDigest = "digest";
inline constexpr const char* kCheckedBySizeAndTime = "size and time";
inline constexpr const char* kCheckedDownloaded = "downloaded";
inline constexpr const char* kCheckedOfflineCopy = "offline copy";
// What the unit proved of what it holds (kHistoryDeviceCheck).
inline constexpr const char* kDeviceCheckedBySha256 = "sha256";

// The unit's identity as the device reported it.
void noteUnit(const std::string& uid, const std::string& modelCode, const std::string& modelLabel);
// The package a pointer file named.
void notePackage(const std::string& name);
// The package that reached the unit: the SHA-256 of its archive, and how the run knew it to be the
// package server's (kCheckedByDigest and the others).
void notePackageSent(const std::string& sha256, const std::string& check);
// A check the unit made of the files it received: whether every SHA-256 it computed matched.
void noteDeviceCheck(bool matched);
// The calibration folder that the unit's calibration log named.
void noteCalibrationFolder(const std::string& name);
// The calibration set that took its names on the device: how many files, and their set's SHA-256
// (fileSetSha256(), package/file_digest.h).
void noteCalibrationSet(std::size_t files, const std::string& sha256);

// `time` as local time in ISO 8601 with its offset from UTC, e.g. "2026-12-08T06:45:35+01:00".
std::string historyTime(std::time_t time);

// The row as one CSV record, without a line end. Control characters and bytes that are no part of
// UTF-8 text show as "?" (printable()).
std::string historyRecordText(const HistoryRow& row);

// Appends `row` to the history file at `path`, with one write under a short lock of the file;
// an empty file gets the byte-order mark and the header row first, in the same write. The row is
// written whole or not at all: a write cut short is taken back, and a file whose last row lacks
// its line end (a disk that was full) gets one first. False when the file cannot be written.
bool appendHistoryRow(const std::string& path, const HistoryRow& row);

}  // namespace provision
