#include <iostream>

#include "device/device_account.h"
#include "device/ssh_link.h"
#include "settings/settings.h"

namespace provision {

int probeDeviceKind() {
  SshLink link;
  if (link.open(kDeviceHost, kRootUser, kQmRootPassword) == kSshOk) {
    settings.deviceKind = DeviceKind::QM;
    std::cout << "QM" << std::endl;
    return 0;
  }
  // Any failure of the first attempt, a refused password or an unreachable device alike, leads
  // to the ZR password on the same link.
  if (link.open(kDeviceHost, kRootUser, kZrRootPassword) == kSshOk) {
    settings.deviceKind = DeviceKind::ZR;
    std::cout << "ZR" << std::endl;
    return 0;
  }
  return 1;
}

}  // namespace provision
