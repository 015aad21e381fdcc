// The commands that install one package on the device, judged by the exit statuses the device
// reports: a run says that a package was installed only when the device did install it.
#pragma once

#include <string>
#include <vector>

#include "install/run_status.h"
#include "package/package_archive.h"

namespace provision {

class SshLink;

// Logs that `packageName`, from `localFolder`, did not reach the device whole, unless the link has
// said so already (a device that stopped answering names the upload), and returns `status`.
int reportFailedUpload(const std::string& packageName, const std::string& localFolder, int status);

// When the upload of `packageName` from `localFolder` failed with `status` because the package is
// not there while the package server is offline, says so for the technician.
void explainMissingPackage(const std::string& packageName, const std::string& localFolder,
                           int status);

// How a judged command on the device ended, as the error lines say it: "ended with exit status 1",
// or "ended without an exit status" (a signal ended it).
std::string endingOf(int exitStatus);

// The steps of one package on the device. Once a judged step has failed, the package's later
// steps are skipped: an install script would run on a half-unpacked tree, and a report tool would
// leave an empty report. Only its archive's removal still runs.
class InstallSteps {
 public:
  InstallSteps(SshLink& link, std::string packageName);

  // A clean-up or preparation command: recorded with its exit status, not judged.
  void prepare(const std::string& command, std::string& output);
  // Removes the uploaded archive, whatever the steps before did: recorded, not judged.
  void removeArchive(const std::string& command, std::string& output);
  // Unpacks the package; the command tells unzip to replace what is there without asking, so only
  // exit status 0 is a whole unpack.
  void unpack(const std::string& command, std::string& output);
  // Checks on the unit that the tree the unpack made below the device folder `folder` is the
  // archive's: every file of `files` there, with the SHA-256 this PC took while it checked the
  // archive, computed by the unit. A file that is missing or differs, or a unit without
  // sha256sum, fails the step: the install scripts never run on a tree that is not the package.
  void verify(const std::string& folder, const std::vector<ArchiveFile>& files);
  // Runs one of the package's own scripts, which `step` names ("the install script"): only exit
  // status 0 is success.
  void runScript(const std::string& step, const std::string& command, std::string& output);

  // Whether a judged step failed, so that the package's later steps are skipped.
  bool failed() const { return status_ != 0; }
  // 0 when every judged step succeeded; the link's status when one of them could not run to its
  // end (the device stopped answering, say); kRunInstallFailed when the device ran one and it
  // failed. Each failed step has had its one error line in the run log.
  int status() const { return status_; }

 private:
  void judge(const std::string& step, const std::string& command, std::string& output);
  void fail(const std::string& why);

  SshLink& link_;
  std::string packageName_;
  int status_ = 0;
};

}  // namespace provision
