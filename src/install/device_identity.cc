#include "install/device_identity.h"

#include "device/shell_word.h"
#include "log/text.h"

namespace provision {
namespace {

// The one model code whose label is not formed from the board name.
constexpr const char* kFixedLabelModelCode = "51";
constexpr const char* kFixedModelLabel = "K700_R5_V3(051)";

}  // namespace

// An empty name is none: it would leave the path in the folder above, among other units' files.
bool isOneServerFolderName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (char character : name) {
    if (character == '/' || character == '\\' || isControlCharacter(character)) return false;
  }
  return true;
}

bool hasFixedModelLabel(const std::string& modelCode) { return modelCode == kFixedLabelModelCode; }

std::string trimAnswer(const std::string& answer) {
  return answer.empty() ? answer : answer.substr(0, answer.size() - 1);
}

std::string boardQuery(const std::string& modelCode) {
  return "cat /opt/sys.log | grep " + grepPattern(modelCode) + " | sed -n '1p' | awk '{print $3}'";
}

std::string modelLabel(const std::string& modelCode, const std::string& boardName) {
  if (hasFixedModelLabel(modelCode)) return kFixedModelLabel;
  return boardName + "(0" + modelCode + ")";
}

bool unitServerFolder(const std::string& label, const std::string& uid, std::string& folder) {
  if (!isOneServerFolderName(label) || !isOneServerFolderName(uid)) return false;
  folder = "/DeviceDataBase/" + label + "/" + uid + "/";
  return true;
}

}  // namespace provision
