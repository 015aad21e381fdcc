// The run's first step on the device: which line the unit belongs to.
#pragma once

#include "install/run_status.h"

namespace provision {

// Tells a QM from a ZR unit by the root password the device accepts, prints "QM" or "ZR" and
// sets settings.deviceKind. kRunSucceeded, or kRunNoDevice when neither password is accepted
// (what the technician should check is on standard error).
int probeDeviceKind();

}  // namespace provision
