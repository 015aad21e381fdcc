#include "install/unit_record.h"

#include <fstream>

#include "workspace/filesystem.h"
#include "workspace/workspace.h"

namespace provision {
namespace {

constexpr const char* kUidField = "UID ";
constexpr const char* kLabelField = "model label ";

std::string recordPath(const std::string& folder) { return folder + kSep + kUnitRecordName; }

// The rest of `line` after `field`, or the whole line when it does not start with it.
std::string valueOf(const std::string& line, const std::string& field) {
  return line.starts_with(field) ? line.substr(field.size()) : line;
}

std::string recordText(const UnitName& unit) {
  return kUidField + unit.uid + "\n" + kLabelField + unit.label + "\n";
}

// Reads the record in `folder` into `owner`; false when there is none.
bool readUnitRecord(const std::string& folder, UnitName& owner) {
  std::ifstream in(toFsPath(recordPath(folder)), std::ios::binary);
  if (!in) return false;
  std::string uidLine;
  std::string labelLine;
  std::getline(in, uidLine);
  std::getline(in, labelLine);
  owner = {valueOf(uidLine, kUidField), valueOf(labelLine, kLabelField)};
  return true;
}

}  // namespace

bool heldForAnotherUnit(const std::string& folder, const UnitName& unit, UnitName& owner) {
  return readUnitRecord(folder, owner) && owner != unit;
}

bool heldForUnit(const std::string& folder, const UnitName& unit) {
  UnitName owner;
  return readUnitRecord(folder, owner) && owner == unit;
}

bool writeUnitRecord(const std::string& folder, const UnitName& unit) {
  std::ofstream out(toFsPath(recordPath(folder)), std::ios::binary | std::ios::trunc);
  out << recordText(unit);
  out.close();
  return static_cast<bool>(out);
}

}  // namespace provision
