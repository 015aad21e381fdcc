// What differs between the consoles the program is started from: the platform's own help switch,
// whom the console window belongs to, and how the exit status reaches the caller. Each platform
// builds one variant (console-posix.cc, console-win32.cc).
#pragma once

namespace provision {

// The help switch of the platform's own commands besides --help and -h ("/?" on Windows); empty
// when there is none.
const char* platformHelpSwitch();

// How many processes share this process's console window; 0 when it has none, or where a console
// window never belongs to the program alone.
int consoleProcessCount();

// Whether standard error is a console (a terminal), not a file or a pipe.
bool standardErrorIsConsole();

// The exit status as the caller sees it when the program returns `status`: its low eight bits on
// POSIX systems, the number itself on Windows.
int exitStatusSeen(int status);

// Whether a run that ended with `status` waits for Enter before its console window closes: only a
// failed run whose console window is its alone, as when it was started by a double-click. From a
// command prompt or a script the window is shared and stays open anyway.
inline bool waitsBeforeClosing(int consoleProcesses, int status) {
  return consoleProcesses == 1 && status != 0;
}

}  // namespace provision
