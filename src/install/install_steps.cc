#include "install/install_steps.h"

#include <utility>

#include "device/ssh_link.h"
#include "log/advice.h"
#include "log/run_log.h"
#include "settings/settings.h"
#include "workspace/workspace.h"

namespace provision {

int reportFailedUpload(const std::string& packageName, const std::string& localFolder, int status) {
  explainMissingPackage(packageName, localFolder, status);
  if (status == kSshStalled) return status;
  if (status == kSshRenameFailed) {
    writeLog(packageName + " arrived on the device but could not take its name there (status " +
                 std::to_string(status) + "): nothing of it was installed",
             kLogError);
  } else {
    writeLog("The upload of " + packageName + " failed with status " + std::to_string(status) +
                 ": nothing of it was installed, and the device keeps its earlier installation",
             kLogError);
  }
  return status;
}

void explainMissingPackage(const std::string& packageName, const std::string& localFolder,
                           int status) {
  if (status != kSshLocalOpenFailed || settings.serverOnline) return;
  advice::explain(advice::packageNotLocal(packageName, withoutTrailingSeparator(localFolder)));
}

std::string endingOf(int exitStatus) {
  return exitStatus < 0 ? "ended without an exit status"
                        : "ended with exit status " + std::to_string(exitStatus);
}

InstallSteps::InstallSteps(SshLink& link, std::string packageName)
    : link_(link), packageName_(std::move(packageName)) {}

void InstallSteps::prepare(const std::string& command, std::string& output) {
  if (failed()) return;
  link_.runCommand(command, output);
}

void InstallSteps::removeArchive(const std::string& command, std::string& output) {
  link_.runCommand(command, output);
}

void InstallSteps::unpack(const std::string& command, std::string& output) {
  judge("the unpack", command, output);
}

void InstallSteps::runScript(const std::string& step, const std::string& command,
                             std::string& output) {
  judge(step, command, output);
}

void InstallSteps::judge(const std::string& step, const std::string& command, std::string& output) {
  if (failed()) return;
  int exitStatus = kNoExitStatus;
  const int linkStatus = link_.runCommand(command, output, exitStatus);
  if (linkStatus != kSshOk) {
    // The link has said why (a device that stopped answering has its own line).
    status_ = linkStatus;
    return;
  }
  if (exitStatus == 0) return;
  writeLog(
      "The device could not install " + packageName_ + ": " + step + " " + endingOf(exitStatus),
      kLogError);
  status_ = kRunInstallFailed;
}

}  // namespace provision
