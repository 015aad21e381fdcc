// The console on Windows: a program started by a double-click gets a console window of its own,
// which closes as soon as the program ends.
#include <windows.h>

#include "app/console.h"

namespace provision {

const char* platformHelpSwitch() { return "/?"; }

int consoleProcessCount() {
  // Room for two is enough to tell "this process alone" from "shared".
  DWORD processes[2];
  return static_cast<int>(GetConsoleProcessList(processes, 2));
}

bool standardErrorIsConsole() {
  // Only a console handle has a console mode; a file or a pipe has none.
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

int exitStatusSeen(int status) { return status; }

}  // namespace provision
