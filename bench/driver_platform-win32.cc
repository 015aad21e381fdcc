#include <windows.h>
// psapi.h needs windows.h first.
#include <psapi.h>

#include <cstdio>

#include "driver_platform.h"

namespace provision::bench {
namespace {

// FILETIME counts 100-nanosecond intervals.
double seconds(const FILETIME& time) {
  ULARGE_INTEGER value;
  value.LowPart = time.dwLowDateTime;
  value.HighPart = time.dwHighDateTime;
  return static_cast<double>(value.QuadPart) / 1e7;
}

}  // namespace

long peakMemoryKib() {
  PROCESS_MEMORY_COUNTERS counters{};
  if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters))) return -1;
  return static_cast<long>(counters.PeakWorkingSetSize / 1024);
}

double cpuSeconds() {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return -1;
  return seconds(kernel) + seconds(user);
}

int timeCommand(char**) {
  std::fprintf(stderr,
               "provision_bench: the Windows build times nothing; bench/run times every "
               "client from the Linux side\n");
  return 2;
}

}  // namespace provision::bench
