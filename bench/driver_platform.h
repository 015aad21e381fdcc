// What the benchmark's driver asks of the system it runs on. driver_platform-posix.cc is the
// Linux driver's (bench/run runs it in the lab and on the device); driver_platform-win32.cc is
// that of the Windows build, which bench/run runs under Wine to time the Windows build's uploader.
#pragma once

namespace provision::bench {

// The peak resident memory of this process so far, in KiB: the high-water mark of its own address
// space (Linux's getrusage would also count the image that exec replaced); -1 when not known.
long peakMemoryKib();

// The processor time this process has used so far, user and system, in seconds.
double cpuSeconds();

// Runs argv[0] (searched in PATH) with its arguments, waits for it and prints "status N seconds S
// cpu_seconds C" (the program's own time and that of the children it waited for). Returns its
// exit status. The Windows build says that it times nothing and returns 2: bench/run times every
// client from the Linux side.
int timeCommand(char** argv);

}  // namespace provision::bench
