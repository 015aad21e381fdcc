#include "install/calibration_set.h"

#include <gtest/gtest.h>

#include "install/device_identity.h"

namespace provision {
namespace {

TEST(CalibrationSet, RawDataLogsRecordsAndArrivalsStayOnThisPc) {
  const struct {
    const char* name;
    bool uploaded;
  } rows[] = {
      {"gain.cal", true},
      {"NOTES.TDMS", true},  // the raw-data filter is case-sensitive
      {"raw.tdms", false},
      {"raw.tdms.bak", false},
      {"Cal_LatestFileLog.txt", false},
      {"copy of Cal_LatestFileLog.txt", false},
      {"provision-unit.txt", false},
      {".provision-0123456789abcdef.part", false},
  };
  for (const auto& row : rows) EXPECT_EQ(isCalibrationFile(row.name), row.uploaded) << row.name;
}

TEST(CalibrationSet, SetWithoutCalibrationFilesIsDescribedByWhatItHolds) {
  const struct {
    std::vector<std::string> names;
    std::vector<std::string> folders;
    std::string description;
  } rows[] = {
      {{"b.tdms.bak", "a.tdms"}, {}, "only raw recordings (a.tdms, b.tdms.bak)"},
      {{}, {"Old", "Deeper"}, "only sub-folders (Deeper, Old)"},
      {{"x.tdms", "Cal_LatestFileLog.txt.1"},
       {"A"},
       "only raw recordings (x.tdms), sub-folders (A) and calibration logs "
       "(Cal_LatestFileLog.txt.1)"},
      {{"e.tdms", "d.tdms", "c.tdms", "b.tdms", "a.tdms"},
       {},
       "only raw recordings (a.tdms, b.tdms, c.tdms and 2 more)"},
      {{"\x1b[2J.tdms"}, {}, "only raw recordings (?[2J.tdms)"},
      {{}, {}, "nothing"},
  };
  for (const auto& row : rows)
    EXPECT_EQ(describeWithoutCalibration(row.names, row.folders), row.description);
}

// The calibration log's first line, the board name, the label and the UID each name one folder
// inside the folder above them on the package server, or none.
TEST(CalibrationSet, OnlyPlainNamesNameOneServerFolder) {
  for (const char* name :
       {"Cal_20261101", "Cal 2026..11", "K700_R5_V3(051)", "...", "Kalibrierung \xC3\xBC"})
    EXPECT_TRUE(isOneServerFolderName(name)) << name;
  for (const char* name :
       {"", ".", "..", "../ZR51A00099/Cal_20250301", "Cal\\x", "/Cal", "Cal\t1", "Cal_20261101\r"})
    EXPECT_FALSE(isOneServerFolderName(name)) << name;
}

}  // namespace
}  // namespace provision
