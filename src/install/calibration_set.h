// Which files of a unit's calibration set go onto the device, and what a set without any of them
// holds instead.
#pragma once

#include <string>
#include <vector>

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

}  // namespace provision
