#include <cstddef>

#include "device/ssh_link.h"

namespace provision {
namespace {

constexpr char kChannelType[] = "session";
constexpr char kExecRequest[] = "exec";
constexpr unsigned kChannelWindow = LIBSSH2_CHANNEL_WINDOW_DEFAULT;  // 2 MiB
constexpr unsigned kChannelPacket = LIBSSH2_CHANNEL_PACKET_DEFAULT;  // 32 KiB
constexpr std::size_t kReadSize = 1024;
constexpr int kStandardOutput = 0;

}  // namespace

int SshLink::runCommand(const std::string& command, std::string& output) {
  if (stalled_) return kSshStalled;
  if (!isOpen()) return kSshChannelFailed;

  // A command may run silently for as long as it needs; only a device that answers neither the
  // command nor the keepalive requests is given up.
  DeviceWait wait = waitFor(waits_.silence, DeviceWait::Progress::AnyByte, waits_.keepalive);
  const std::string step = "the command \"" + command + "\"";

  channel_ = wait.until([&] {
    return libssh2_channel_open_ex(session_, kChannelType, sizeof kChannelType - 1, kChannelWindow,
                                   kChannelPacket, nullptr, 0);
  });
  if (channel_ == nullptr) return wait.expired() ? stalled(step, wait.limit()) : kSshChannelFailed;

  // Standard error is dropped as it arrives; left unread it would fill the channel window and
  // stall standard output, so a chatty command would never end.
  wait.until([&] {
    return libssh2_channel_handle_extended_data2(channel_, LIBSSH2_CHANNEL_EXTENDED_DATA_IGNORE);
  });

  int status = kSshOk;
  if (wait.until([&] {
        return libssh2_channel_process_startup(channel_, kExecRequest, sizeof kExecRequest - 1,
                                               command.data(),
                                               static_cast<unsigned>(command.size()));
      }) != 0) {
    status = kSshExecFailed;
  } else {
    char buffer[kReadSize];
    ssize_t count;
    // End of output (0) and a read error (negative) both end the command.
    while ((count = wait.until([&] {
             return libssh2_channel_read_ex(channel_, kStandardOutput, buffer, sizeof buffer);
           })) > 0) {
      output.append(buffer, static_cast<std::size_t>(count));
    }
  }
  if (wait.expired()) return stalled(step, wait.limit());

  wait.until([&] { return libssh2_channel_close(channel_); });
  if (wait.expired()) return stalled(step, wait.limit());
  libssh2_channel_free(channel_);
  channel_ = nullptr;
  return status;
}

}  // namespace provision
