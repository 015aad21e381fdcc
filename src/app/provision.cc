#include "app/provision.h"

#include <chrono>
#include <iostream>
#include <thread>

#include "app/arguments.h"
#include "device/ssh_link.h"
#include "install/workflows.h"
#include "settings/settings.h"
#include "workspace/workspace.h"

namespace provision {
namespace {

constexpr auto kModeOneExitWait = std::chrono::milliseconds(1000);
constexpr auto kModeTwoExitWait = std::chrono::milliseconds(5000);

int runModeOne() {
  int status = installDriverAndLib();
  std::this_thread::sleep_for(kModeOneExitWait);
  return status;
}

int runModeTwo() {
  int status = runPackageUpdate();
  if (status != 0) return status;
  std::cout << " Successful installation " << std::endl;
  std::cout << "The program will exit after 5 seconds " << std::endl;
  std::this_thread::sleep_for(kModeTwoExitWait);
  return 0;
}

}  // namespace

int runProvision(int argc, const char* const* argv) {
  std::string error = applyArguments(argc, argv, settings);
  if (!error.empty()) {
    std::cerr << error << std::endl;
    return kExitBadArgument;
  }

  int probeStatus = probeDeviceKind();
  if (probeStatus != 0) return probeStatus;

  prepareWorkspace();

  switch (settings.mode) {
    case 1:
      return runModeOne();
    case 2:
      return runModeTwo();
    default:
      return 0;
  }
}

}  // namespace provision
