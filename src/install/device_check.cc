// ZR units: connects as root, reads the unit's identity from the device report and derives the
// model label under which the package server keeps the unit's calibration data.
#include "device/device_account.h"
#include "device/ssh_link.h"
#include "install/workflows.h"
#include "log/run_log.h"
#include "log/run_record.h"
#include "settings/settings.h"

namespace provision {
namespace {

constexpr int kConnectionAttempts = 3;
// The one model code whose label is not formed from the board name.
constexpr const char* kFixedLabelModelCode = "51";
constexpr const char* kFixedModelLabel = "K700_R5_V3(051)";

// The answer of a query without its last character, the line break that ends it.
std::string trimAnswer(const std::string& answer) {
  return answer.empty() ? answer : answer.substr(0, answer.size() - 1);
}

void connectWithRetries(SshLink& link) {
  for (int attempt = 0; attempt < kConnectionAttempts; ++attempt) {
    writeLog("This is check attempt number " + std::to_string(attempt), kLogInfo);
    if (link.open(kDeviceHost, kRootUser, kZrRootPassword) == 0) {
      writeLog("ZR connection Success", kLogInfo);
      return;
    }
    writeLog("ZR connection failed, retry connection", kLogInfo);
  }
}

std::string query(SshLink& link, const std::string& command) {
  std::string output;
  link.runCommand(command, output);
  return trimAnswer(output);
}

}  // namespace

int checkDevice(std::string& model, std::string& uid) {
  SshLink link;
  connectWithRetries(link);

  uid = query(link, "cat /opt/sys.log |grep DeviceUID | awk '{print $3}'");
  writeLog("Device UID : " + uid, kLogInfo);

  const std::string modelCode = query(link, "cat /opt/sys.log | grep Model | awk '{print $3}'");
  writeLog("Device Model : " + modelCode, kLogInfo);
  model = modelCode;

  std::string ignored;
  link.runCommand("pkill Lumora4", ignored);

  const std::string boardName =
      query(link, "cat /opt/sys.log | grep " + modelCode + " | sed -n '1p' | awk '{print $3}'");
  writeLog("Device Model : " + boardName, kLogInfo);

  if (modelCode == kFixedLabelModelCode) {
    model = kFixedModelLabel;
  } else {
    model = boardName + "(0" + modelCode + ")";
  }
  recordFact("unit: UID " + uid + ", model code " + modelCode + ", model label " + model);
  return 0;
}

}  // namespace provision
