// What the device's answers about itself become: the board query, the model label and the unit's
// folder on the package server.
#pragma once

#include <string>

namespace provision {

// The queries of the device report that every workflow reads the unit's identity with. The UID
// query's missing blank after the first "|" is kept as it stands: it is the line the units have
// always been sent.
inline constexpr const char* kUidQuery = "cat /opt/sys.log |grep DeviceUID | awk '{print $3}'";
inline constexpr const char* kModelQuery = "cat /opt/sys.log | grep Model | awk '{print $3}'";

// A one-line answer of the device without its last character, the line break that ends it.
std::string trimAnswer(const std::string& answer);

// The command that reads the board name for `modelCode` from the device report; grep gets the
// code as its one pattern (grepPattern()), and the device's shell nothing else.
std::string boardQuery(const std::string& modelCode);

// The name under which the package server files the unit's calibration data.
std::string modelLabel(const std::string& modelCode, const std::string& boardName);

// Whether units of `modelCode` have a label of their own, whatever their board name.
bool hasFixedModelLabel(const std::string& modelCode);

// Whether `name` can name exactly one folder inside a folder of the package server: not empty, no
// "/" or "\", no control character, and neither "." nor "..".
bool isOneServerFolderName(const std::string& name);

// Sets `folder` to the unit's folder on the package server, "/DeviceDataBase/" + label + "/" +
// uid + "/". False, leaving `folder` alone, when the label or the UID is not usable as one
// folder name there: empty, a "/" or "\", a control character, or "." or "..".
bool unitServerFolder(const std::string& label, const std::string& uid, std::string& folder);

}  // namespace provision
