// The console on POSIX systems: a terminal stays open when a program ends.
#include <unistd.h>

#include "app/console.h"

namespace provision {

const char* platformHelpSwitch() { return ""; }

int consoleProcessCount() { return 0; }

bool standardErrorIsConsole() { return isatty(STDERR_FILENO) == 1; }

int exitStatusSeen(int status) { return status & 0xFF; }

}  // namespace provision
