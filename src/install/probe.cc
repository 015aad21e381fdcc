#include "install/probe.h"

#include <iostream>

#include "device/device_account.h"
#include "device/ssh_link.h"
#include "log/advice.h"
#include "settings/settings.h"

namespace provision {
namespace {

// Whether a failed open found nothing that answers at the address: no connection, or a stall.
bool foundNothing(int status) { return status == kSshConnectFailed || status == kSshStalled; }

// What the two failed attempts tell the technician.
std::string probeFailure(int qmStatus, int zrStatus) {
  if (qmStatus == kSshAuthFailed || zrStatus == kSshAuthFailed)
    return advice::devicePasswordsRefused(kDeviceHost);
  if (foundNothing(qmStatus) && foundNothing(zrStatus))
    return advice::deviceUnreachable(kDeviceHost);
  return advice::deviceSshFailed(kDeviceHost, foundNothing(zrStatus) ? qmStatus : zrStatus);
}

}  // namespace

int probeDeviceKind() {
  SshLink link;
  const int qmStatus = link.open(kDeviceHost, kRootUser, kQmRootPassword);
  if (qmStatus == kSshOk) {
    settings.deviceKind = DeviceKind::QM;
    std::cout << "QM" << std::endl;
    return kRunSucceeded;
  }
  // Any failure of the first attempt, a refused password or an unreachable device alike, leads
  // to the ZR password on the same link.
  const int zrStatus = link.open(kDeviceHost, kRootUser, kZrRootPassword);
  if (zrStatus == kSshOk) {
    settings.deviceKind = DeviceKind::ZR;
    std::cout << "ZR" << std::endl;
    return kRunSucceeded;
  }
  advice::explain(probeFailure(qmStatus, zrStatus));
  return kRunNoDevice;
}

}  // namespace provision
