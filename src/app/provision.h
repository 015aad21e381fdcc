// The program's entry point, behind main().
#pragma once

namespace provision {

// Exit status of a run whose first argument is not a number; no workflow ends with it.
inline constexpr int kExitBadArgument = 64;

// Reads the arguments, probes the device, prepares the workspace and runs the mode's workflow.
// Returns the process exit status.
int runProvision(int argc, const char* const* argv);

}  // namespace provision
