#include "device/ssh_link.h"

namespace provision {

int probeDeviceKind() { return 1; }

}  // namespace provision
