// The run settings shared by the whole program.
#pragma once

#include <string>

namespace provision {

// The device line of the attached unit.
enum class DeviceKind { QM, ZR };

// The process-wide run settings. There is exactly one instance, `settings`; the entry point, the
// device probe and the workspace set-up write it before any workflow runs, everything else reads.
struct Settings {
  int mode = 2;
  std::string configVariant = "CN";
  std::string calibrationSubfolder;
  std::string ftpHost = PROVISION_FTP_HOST;
  std::string ftpUser = "velqorn";
  std::string ftpPassword = "ftp604817";
  // The executable's folder followed by the local path separator; empty until prepareWorkspace().
  std::string baseFolder;
  // Whether the package server answered at start-up.
  bool serverOnline = true;
  // Whether downloads show their progress on standard error: only when it is a console.
  bool downloadProgress = false;
  DeviceKind deviceKind = DeviceKind::QM;
};

extern Settings settings;

}  // namespace provision
