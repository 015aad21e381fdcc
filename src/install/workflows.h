// The installation workflows: the fixed sequences each mode runs.
#pragma once

#include <string>

namespace provision {

// Mode 1: the driver-and-library bundle. 0, 1 (download failed), 2 (pointer file missing) or the
// failing link step's code.
int installDriverAndLib();

// QM units: the server package from `remoteFolder`, via `localFolder` (ends with kSep).
int installServerPackage(std::string localFolder, std::string remoteFolder,
                         std::string pointerFileName);

// ZR units: the configuration tool of settings.configVariant.
int installConfigTool(std::string localFolder, std::string remoteFolder,
                      std::string pointerFileName);

// ZR units: connects as root (three attempts), reads UID and model code from the device report,
// stops the device application and derives the model label. Always 0.
int checkDevice(std::string& model, std::string& uid);

// ZR units: fetches the unit's calibration files and puts them on the device.
int syncCalibration(const std::string& model, const std::string& uid);

// Mode 2 on either device line.
int runPackageUpdate();

}  // namespace provision
