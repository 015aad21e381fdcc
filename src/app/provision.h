// The program's entry point, behind main().
#pragma once

namespace provision {

// Exit status of a run whose first argument is not a number; no workflow ends with it.
inline constexpr int kExitBadArgument = 64;
// Exit status of a run that found another run using its folder; it did nothing.
inline constexpr int kExitFolderBusy = 75;
// Exit status of a run that an unexpected error (an exception of the standard library) ended.
inline constexpr int kExitInternalError = 70;
// The lock file beside the executable that one run at a time holds.
inline constexpr const char* kLockFileName = "provision.lock";

// Answers --help, --version and --licenses. Otherwise reads the arguments, probes the device,
// prepares the workspace and runs the mode's workflow, with an entry in the run record beside the
// executable; a failed run whose console window is its own waits for Enter before it ends. Returns
// the process exit status.
int runProvision(int argc, const char* const* argv);

}  // namespace provision
