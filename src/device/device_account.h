// How the program reaches and logs in to the measuring device.
#pragma once

namespace provision {

// The device's fixed address on the local network, shared by every link to it.
inline constexpr const char* kDeviceHost = PROVISION_DEVICE_HOST;
inline constexpr int kSshPort = 22;

inline constexpr const char* kRootUser = "root";
inline constexpr const char* kQmRootPassword = "lwzq";
inline constexpr const char* kZrRootPassword = "tqowmb";
// The ordinary user of ZR units; its password is the same word.
inline constexpr const char* kZrUser = "tqowmb";
inline constexpr const char* kZrUserPassword = "tqowmb";

}  // namespace provision
