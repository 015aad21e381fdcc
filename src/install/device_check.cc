// ZR units: connects as root, reads the unit's identity from the device report and derives the
// model label under which the package server keeps the unit's calibration data.
#include <chrono>
#include <thread>

#include "device/device_account.h"
#include "device/ssh_link.h"
#include "install/device_identity.h"
#include "install/workflows.h"
#include "log/advice.h"
#include "log/run_log.h"
#include "log/run_record.h"
#include "log/unit_history.h"
#include "settings/settings.h"

namespace provision {
namespace {

constexpr int kConnectionAttempts = 3;
// The attempts start this far apart, so that a unit that restarts after the tool's install and
// takes up to twice as long to accept connections again is still reached. An attempt that times
// out has used up part of the time already; one that is refused at once waits out the rest.
constexpr auto kAttemptSpacing = std::chrono::seconds(30);

// Returns the status of the last attempt: 0 once one succeeded.
int connectWithRetries(SshLink& link) {
  const auto start = std::chrono::steady_clock::now();
  int status = kSshConnectFailed;
  for (int attempt = 0; attempt < kConnectionAttempts; ++attempt) {
    std::this_thread::sleep_until(start + attempt * kAttemptSpacing);
    writeLog("This is check attempt number " + std::to_string(attempt), kLogInfo);
    status = link.open(kDeviceHost, kRootUser, kZrRootPassword);
    if (status == kSshOk) {
      writeLog("ZR connection Success", kLogInfo);
      return kSshOk;
    }
    writeLog("ZR connection failed, retry connection", kLogInfo);
  }
  return status;
}

std::string query(SshLink& link, const std::string& command) {
  std::string output;
  link.runCommand(command, output);
  return trimAnswer(output);
}

// What the unit's identity lacks for finding its calibration on the package server; empty when
// nothing.
std::string missingIdentity(const std::string& uid, const std::string& modelCode,
                            const std::string& label) {
  if (uid.empty()) return "the device's report /opt/sys.log gives no UID (no DeviceUID line)";
  if (modelCode.empty())
    return "the device's report /opt/sys.log gives no model code (no Model line)";
  std::string folder;
  if (!unitServerFolder(label, uid, folder))
    return "the device's UID " + printable(uid) + " or model label " + printable(label) +
           " cannot name one folder on the package server";
  return "";
}

}  // namespace

int checkDevice(std::string& model, std::string& uid) {
  SshLink link;
  const int linkStatus = connectWithRetries(link);
  if (linkStatus != kSshOk) {
    writeLog("The unit did not answer after the configuration tool's install (" +
                 std::to_string(kConnectionAttempts) + " attempts over " +
                 formatSeconds((kConnectionAttempts - 1) * kAttemptSpacing) + ", status " +
                 std::to_string(linkStatus) + "): none of its calibration files was installed",
             kLogError);
    advice::explain(advice::unitNotBack(kDeviceHost));
    return linkStatus;
  }

  uid = query(link, kUidQuery);
  writeLog("Device UID : " + uid, kLogInfo);

  const std::string modelCode = query(link, kModelQuery);
  writeLog("Device Model : " + modelCode, kLogInfo);
  model = modelCode;

  std::string ignored;
  link.runCommand("pkill Lumora4", ignored);

  const std::string boardName = query(link, boardQuery(modelCode));
  writeLog("Device Model : " + boardName, kLogInfo);

  model = modelLabel(modelCode, boardName);
  recordFact("unit: UID " + uid + ", model code " + modelCode + ", model label " + model);
  noteUnit(uid, modelCode, model);

  const std::string missing = missingIdentity(uid, modelCode, model);
  if (missing.empty()) return kRunSucceeded;
  writeLog("The unit's calibration cannot be found: " + missing +
               "; none of its calibration files was fetched or installed",
           kLogError);
  advice::explain(advice::unitReportIncomplete());
  return kRunCalibrationNotFound;
}

}  // namespace provision
