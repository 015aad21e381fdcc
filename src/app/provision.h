// The program's entry point, behind main().
#pragma once

namespace provision {

// Answers --help, --version, --licenses and --history. Otherwise reads the arguments, probes the
// device, prepares the workspace and runs the mode's workflow, with an entry in the run record and
// a row in the unit history beside the executable; a failed run whose console window is its own
// waits for Enter before it ends. Returns the process exit status.
int runProvision(int argc, const char* const* argv);

}  // namespace provision
