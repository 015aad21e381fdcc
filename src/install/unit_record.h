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

// Whether the files in `folder` were fetched for another unit than `unit`: its record names
// `owner`. A record that cannot be read as one names no unit that exists, so it is another's too;
// no record at all is nobody's.
bool heldForAnotherUnit(const std::string& folder, const UnitName& unit, UnitName& owner);

// Whether the files in `folder` were fetched for `unit` itself: its record names it.
bool heldForUnit(const std::string& folder, const UnitName& unit);

// Writes the record of `unit` into `folder` ("UID <uid>" and "model label <label>", a line each),
// replacing one that is there. False when it cannot.
bool writeUnitRecord(const std::string& folder, const UnitName& unit);

}  // namespace provision
