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

// Every entry of the two folders is fetched or passed over by a rule, or the set is not whole and
// the problem names the entry; a set takes at least one calibration file from its own folder.
TEST(CalibrationSet, EveryEntryIsAccountedFor) {
  using Entries = std::vector<FtpEntry>;
  const FtpEntry gain{"gain.cal", false};
  const FtpEntry dots[] = {{".", true}, {"..", true}};
  const struct {
    const char* what;
    Entries calibration, configuration;
    bool subfolderGiven;
    std::vector<std::string> files;
    std::string problem;
    CalibrationPlan::Where where = CalibrationPlan::InCalibration;
  } rows[] = {
      {"the lab unit's set",
       {dots[0],
        dots[1],
        gain,
        {"raw.tdms", false},
        {"raw.tdms.bak", false},
        {"NOTES.TDMS", false},
        {"shared.ini", false},
        {"Cal_LatestFileLog.txt", false}},
       {{"device.json", false}, {"shared.ini", false}, {"Extra", true}, {"Alt", true}},
       false,
       {"gain.cal", "NOTES.TDMS", "shared.ini", "device.json"},
       ""},
      {"a sub-folder in the calibration folder",
       {gain, {"Deeper", true}},
       {},
       false,
       {},
       "a sub-folder, Deeper, whose files no unit gets (a set's files lie in its folder itself)"},
      {"a sub-folder in the sub-folder the run was given",
       {gain},
       {{"alt.json", false}, {"Old", true}},
       true,
       {},
       "a sub-folder, Old, whose files no unit gets (a set's files lie in its folder itself)",
       CalibrationPlan::InConfiguration},
      {"a backslash",
       {gain, {"CH3\\gain.cal", false}},
       {},
       false,
       {},
       "\"CH3\\gain.cal\", which cannot be a file's name at every station (Linux and Windows)"},
      {"a stream, at a Linux station too",
       {gain},
       {{"a:b.cal", false}},
       false,
       {},
       "\"a:b.cal\", which cannot be a file's name at every station (Linux and Windows)",
       CalibrationPlan::InConfiguration},
      {"two names of one file",
       {{"Gain.cal", false}, gain},
       {},
       false,
       {},
       "two files whose names differ in case only, Gain.cal and gain.cal, which would be one "
       "file on a Windows station"},
      {"two names of one file, one in each folder",
       {gain},
       {{"GAIN.CAL", false}},
       false,
       {},
       "two files whose names differ in case only, GAIN.CAL and gain.cal, which would be one "
       "file on a Windows station",
       CalibrationPlan::InBoth},
      {"raw recordings only: the configuration files are no calibration",
       {{"b.tdms.bak", false}, {"a.tdms", false}},
       {{"device.cfg", false}, {"shared.cfg", false}},
       false,
       {},
       "only raw recordings (a.tdms, b.tdms.bak), no calibration file"},
      {"an empty calibration folder",
       {},
       {{"device.cfg", false}},
       false,
       {},
       "nothing, no calibration file"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const CalibrationPlan plan =
        planCalibrationSet(row.calibration, row.configuration, row.subfolderGiven);
    EXPECT_EQ(plan.problem, row.problem);
    if (!row.problem.empty()) {
      EXPECT_EQ(plan.where, row.where);
      EXPECT_TRUE(plan.files().empty()) << "a set that is not whole has nothing to fetch";
      continue;
    }
    EXPECT_EQ(plan.files(), row.files);
  }
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
