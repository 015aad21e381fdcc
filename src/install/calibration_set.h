// Which files of a unit's calibration set go onto the device, and what a set without any of them
// holds instead.
#pragma once

#include <string>
#include <vector>

#include "ftp/ftp_client.h"

namespace provision {

// The unit's calibration log on the package server, beside its calibration folders.
inline constexpr const char* kCalibrationLog = "Cal_LatestFileLog.txt";

// Whether the file `name` of a set goes onto the device. Raw measurement data (".tdms") and the
// calibration log stay on this PC, each matched anywhere in the name: units' sets rely on
// "x.tdms.bak" or a copy of the log not going up. Neither does the unit record nor a file that has
// not fully arrived.
bool isCalibrationFile(const std::string& name);

// What a set whose files `names` and sub-folders `folders` hold no calibration file has instead,
// e.g. "only raw recordings (raw.tdms) and sub-folders (Extra)". Names beyond the first few are
// counted, not listed.
std::string describeWithoutCalibration(const std::vector<std::string>& names,
                                       const std::vector<std::string>& folders);

// Which entries of a unit's two server folders make its calibration set: the calibration folder
// its log names, and the configuration-file folder (or the sub-folder of it the run was given).
// Every entry is accounted for: fetched, or passed over by a rule (raw recordings, the log, the
// configuration-file folder's own sub-folders, which are the sub-folders a run may be given).
// Anything else leaves the set incomplete, and the step installs none of it.
struct CalibrationPlan {
  // The files to fetch from each folder. A name in both is fetched from both, the
  // configuration-file folder's copy last, and is one file of the set.
  std::vector<std::string> fromCalibration;
  std::vector<std::string> fromConfiguration;
  // What is wrong with the set, naming the entry, as what the folder it is in holds ("a
  // sub-folder, Deeper, ..."); `where` tells which folder that is, or that it is the two together
  // (two names of one file on Windows, one in each). Empty when the set is whole.
  std::string problem;
  enum Where { InCalibration, InConfiguration, InBoth };
  Where where = InCalibration;

  // The names of the set's files, each once.
  std::vector<std::string> files() const;
};

// Plans the set from the two folders' listings. `subfolderGiven`: the configuration-file folder
// is the sub-folder the run was given, whose own sub-folders are no part of anything. The set
// must hold at least one calibration file from the calibration folder; a plan with a problem has
// no files.
CalibrationPlan planCalibrationSet(const std::vector<FtpEntry>& calibration,
                                   const std::vector<FtpEntry>& configuration, bool subfolderGiven);

}  // namespace provision
