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

// What connectWithRetries() found: the status of the last attempt (0 once one succeeded) and how
// long the attempts took from the first one's start to the last one's end.
struct CheckConnection {
  int status = kSshConnectFailed;
  std::chrono::milliseconds span{0};
};

// Each attempt has its slot of kAttemptSpacing: it starts when its slot does and is given up when
// the slot ends, so that the attempts keep to the times they are stated to take.
CheckConnection connectWithRetries(SshLink& link) {
  const auto start = std::chrono::steady_clock::now();
  CheckConnection result;
  for (int attempt = 0; attempt < kConnectionAttempts; ++attempt) {
    const auto slot = start + attempt * kAttemptSpacing;
    std::this_thread::sleep_until(slot);
    writeLog("This is check attempt number " + std::to_string(attempt), kLogInfo);
    result.status = link.open(kDeviceHost, kRootUser, kZrRootPassword, slot + kAttemptSpacing);
    if (result.status == kSshOk) {
      writeLog("ZR connection Success", kLogInfo);
      return result;
    }
    writeLog("ZR connection failed, retry connection", kLogInfo);
  }
  result.span = std::chrono::round<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
  return result;
}

// One query of the device report: its trimmed answer in `answer`; the link's status.
int query(SshLink& link, const std::string& command, std::string& answer) {
  std::string output;
  const int status = link.runCommand(command, output);
  answer = trimAnswer(output);
  return status;
}

// What the unit's identity lacks for finding its calibration on the package server; empty when
// nothing.
std::string missingIdentity(const std::string& uid, const std::string& modelCode,
                            const std::string& boardName, const std::string& label) {
  if (uid.empty()) return "the device's report /opt/sys.log gives no UID (no DeviceUID line)";
  if (modelCode.empty())
    return "the device's report /opt/sys.log gives no model code (no Model line)";
  if (boardName.empty() && !hasFixedModelLabel(modelCode))
    return "the device's report /opt/sys.log gives no board name for model code " +
           printable(modelCode);
  std::string folder;
  if (!unitServerFolder(label, uid, folder))
    return "the device's UID " + printable(uid) + " or model label " + printable(label) +
           " cannot name one folder on the package server";
  return "";
}

// The unit stopped answering while its report was read: the link's status, never a verdict on
// the report.
int unitDropped(int linkStatus) {
  writeLog("The unit did not answer while its report was read (status " +
               std::to_string(linkStatus) + "): none of its calibration files was installed",
           kLogError);
  advice::explain(advice::unitNotBack(kDeviceHost));
  return linkStatus;
}

}  // namespace

int checkDevice(std::string& model, std::string& uid) {
  SshLink link;
  const CheckConnection connection = connectWithRetries(link);
  if (connection.status != kSshOk) {
    writeLog("The unit did not answer after the configuration tool's install (" +
                 std::to_string(kConnectionAttempts) + " attempts over " +
                 formatSeconds(connection.span) + ", status " + std::to_string(connection.status) +
                 "): none of its calibration files was installed",
             kLogError);
    advice::explain(advice::unitNotBack(kDeviceHost));
    return connection.status;
  }

  int status = query(link, kUidQuery, uid);
  if (status != kSshOk) return unitDropped(status);
  writeLog("Device UID : " + uid, kLogInfo);

  std::string modelCode;
  status = query(link, kModelQuery, modelCode);
  if (status != kSshOk) return unitDropped(status);
  writeLog("Device Model : " + modelCode, kLogInfo);
  model = modelCode;

  std::string ignored;
  status = link.runCommand("pkill Lumora4", ignored);
  if (status != kSshOk) return unitDropped(status);

  std::string boardName;
  status = query(link, boardQuery(modelCode), boardName);
  if (status != kSshOk) return unitDropped(status);
  writeLog("Device Model : " + boardName, kLogInfo);

  model = modelLabel(modelCode, boardName);
  recordFact("unit: UID " + uid + ", model code " + modelCode + ", model label " + model);
  noteUnit(uid, modelCode, model);

  const std::string missing = missingIdentity(uid, modelCode, boardName, model);
  if (missing.empty()) return kRunSucceeded;
  writeLog("The unit's calibration cannot be found: " + missing +
               "; none of its calibration files was fetched or installed",
           kLogError);
  advice::explain(advice::unitReportIncomplete());
  return kRunCalibrationNotFound;
}

}  // namespace provision
