// The statuses a run ends with: the workflows return them, and the README's table, --help and the
// run record's end line explain them (app/usage.cc). A step on the device that fails passes on the
// link's own negative code instead (SshStatus, device/ssh_link.h).
#pragma once

namespace provision {

enum RunStatus : int {
  kRunSucceeded = 0,
  // The device refused both root passwords or could not be reached at all.
  kRunNoDevice = 1,
  // A package, or a unit's calibration set, could not be fetched from the package server.
  kRunDownloadFailed = 1,
  // A pointer file or a unit's calibration log could not be opened, or a pointer file is none (no
  // text, too long) or names no package file.
  kRunFileNotRead = 2,
  // The device could not install the package, or could not put the unit's calibration into effect.
  kRunInstallFailed = 3,
  // A package is damaged, or a unit's unzip would unpack it elsewhere, differently or not at all:
  // its archive failed the check on this PC, and nothing of it reached the device.
  kRunPackageDamaged = 4,
  // No calibration was found for the unit: its report names no UID, model code or board name, its
  // calibration log names no folder of the unit's own, the package server holds no calibration
  // file for it, or, while the package server does not answer, the data folder holds no
  // calibration files for this unit.
  kRunCalibrationNotFound = 5,
  // The first argument is not a number, or the variant cannot name a folder; nothing was started.
  kRunBadArgument = 64,
  // An unexpected error (an exception of the standard library) ended the run.
  kRunInternalError = 70,
  // Another run was using this folder; this one did nothing.
  kRunFolderBusy = 75,
};

}  // namespace provision
