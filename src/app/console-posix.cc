// The console on POSIX systems: a terminal stays open when a program ends.
#include "app/console.h"

namespace provision {

const char* platformHelpSwitch() { return ""; }

int consoleProcessCount() { return 0; }

int exitStatusSeen(int status) { return status & 0xFF; }

}  // namespace provision
