// The installation workflows: the fixed sequences each mode runs.
#pragma once

#include <string>

#include "install/run_status.h"

namespace provision {

class FtpSource;

// The ZR user's home folder, where the configuration tool is unpacked and installed from.
inline constexpr const char* kZrHome = "/home/tqowmb/";
// Removes the configuration tool's folders and archive from there: before a new tool takes its
// place, and once the unit's calibration has been put on it.
inline constexpr const char* kToolCleanUp = "rm -r /home/tqowmb/*ZRConfig*";

// Each workflow takes the run's one connection to the package server, `server`, or null while the
// package server does not answer: then it works from the copies that earlier runs left in the
// data folder.

// Mode 1: the driver-and-library bundle. kRunSucceeded, kRunDownloadFailed, kRunFileNotRead (no
// pointer file, one that is none, or one that names no package file), kRunPackageDamaged,
// kRunInstallFailed (a judged step failed on the device) or the failing link step's code.
int installDriverAndLib(FtpSource* server);

// QM units: the server package from `remoteFolder`, via `localFolder` (ends with kSep).
int installServerPackage(std::string localFolder, std::string remoteFolder,
                         std::string pointerFileName, FtpSource* server);

// ZR units: the configuration tool of settings.configVariant.
int installConfigTool(std::string localFolder, std::string remoteFolder,
                      std::string pointerFileName, FtpSource* server);

// ZR units: connects as root (three attempts, spaced for a unit that restarts), reads UID and model
// code from the device report, stops the device application and derives the model label. 0; the
// link's status when no attempt connected; kRunCalibrationNotFound when the report gives no UID or
// model code, or they name no folder of the package server. Each failure is logged.
int checkDevice(std::string& model, std::string& uid);

// ZR units: fetches the unit's calibration set (or, while the package server does not answer,
// takes the files in the data folder that belong to this unit), puts it on the device in the place
// of its earlier set once the unit has checked every file, and runs the fix-up script.
// kRunSucceeded; kRunDownloadFailed (the set could not be fetched or stored); kRunFileNotRead (the
// fetched log cannot be read); kRunCalibrationNotFound (no whole set for this unit);
// kRunInstallFailed (the set did not arrive as sent, could not take its place, or the fix-up script
// failed); or the failing link step's code. Each failure is logged. Only a run whose tool and
// calibration both installed says that the unit is installed (runPackageUpdate).
int syncCalibration(const std::string& model, const std::string& uid, FtpSource* server);

// Mode 2 on either device line.
int runPackageUpdate(FtpSource* server);

}  // namespace provision
