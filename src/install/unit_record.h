// Which unit the calibration files in the local calibration folder belong to. A set fetched for a
// unit carries a record of that unit beside its files; a run that was cut off after the fetch
// leaves a set that only its own unit may get. Files without a record were put there by hand.
#pragma once

#include <string>

namespace provision {

struct UnitName {
  std::string uid;
  std::string label;

  bool operator==(const UnitName&) const = default;
};

// The record's file name inside the calibration folder; it is never uploaded.
inline constexpr const char* kUnitRecordName = "provision-unit.txt";

// The record's text: "UID <uid>" and "model label <label>", a line each.
std::string unitRecordText(const UnitName& unit);

// Reads the record in `folder`: false when there is none (or it cannot be read). A record that is
// not in this form names no unit that exists: `unit` then holds what it could read.
bool readUnitRecord(const std::string& folder, UnitName& unit);

// Writes the record of `unit` into `folder`, replacing one that is there. False when it cannot.
bool writeUnitRecord(const std::string& folder, const UnitName& unit);

}  // namespace provision
