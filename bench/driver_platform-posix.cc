#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "driver_platform.h"

extern char** environ;

namespace provision::bench {
namespace {

double seconds(const timeval& time) {
  return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
}

}  // namespace

long peakMemoryKib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

int timeCommand(char** argv) {
  const auto start = std::chrono::steady_clock::now();
  pid_t child;
  if (posix_spawnp(&child, argv[0], nullptr, nullptr, argv, environ) != 0) {
    std::perror("provision_bench: spawn");
    return 127;
  }
  int status = 0;
  rusage usage{};
  wait4(child, &status, 0, &usage);
  const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
  int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  std::printf("status %d seconds %.3f cpu_seconds %.3f\n", code, wall.count(),
              seconds(usage.ru_utime) + seconds(usage.ru_stime));
  return code;
}

}  // namespace provision::bench
