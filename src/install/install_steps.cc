#include "install/install_steps.h"

#include <utility>

#include "device/ssh_link.h"
#include "install/unit_check.h"
#include "log/advice.h"
#include "log/run_log.h"
#include "log/unit_history.h"
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

void InstallSteps::verify(const std::string& folder, const std::vector<ArchiveFile>& files) {
  if (failed()) return;
  const UnitCheck check = checkOnUnit(link_, folder, files);
  switch (check.outcome) {
    case UnitCheck::Matches:
      noteDeviceCheck(true);
      return;
    case UnitCheck::LinkFailed:
      // The link has said why.
      status_ = check.linkStatus;
      return;
    case UnitCheck::NoTool:
      fail("the unit has no sha256sum to check the unpacked files with");
      return;
    case UnitCheck::Differs:
      fail("what the unpack made in " + folder + " is not the package: " + check.problem);
      return;
  }
}

void InstallSteps::fail(const std::string& why) {
  noteDeviceCheck(false);
  writeLog("The device could not install " + packageName_ + ": " + why, kLogError);
  status_ = kRunInstallFailed;
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
