#include <cstddef>

#include "device/ssh_link.h"
#include "log/run_record.h"

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
  int exitStatus = kNoExitStatus;
  return runCommand(command, output, exitStatus);
}

int SshLink::runCommand(const std::string& command, std::string& output, int& exitStatus) {
  exitStatus = kNoExitStatus;
  const int status = execute(command, output, exitStatus);
  recordCommand(user_, command, status, exitStatus);
  return status;
}

int SshLink::execute(const std::string& command, std::string& output, int& exitStatus) {
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
  bool outputEnded = false;
  if (wait.until([&] {
        return libssh2_channel_process_startup(channel_, kExecRequest, sizeof kExecRequest - 1,
                                               command.data(),
                                               static_cast<unsigned>(command.size()));
      }) != 0) {
    status = kSshExecFailed;
  } else {
    // Nothing is ever typed into a command: it gets the end of its input at once, so one that
    // asks a question (unzip about a file that exists) reads that answer instead of waiting.
    wait.until([&] { return libssh2_channel_send_eof(channel_); });
    char buffer[kReadSize];
    ssize_t count;
    // End of output (0) and a read error (negative) both end the command; only after the end of
    // its output has the command an exit status.
    while ((count = wait.until([&] {
             return libssh2_channel_read_ex(channel_, kStandardOutput, buffer, sizeof buffer);
           })) > 0) {
      output.append(buffer, static_cast<std::size_t>(count));
    }
    outputEnded = count == 0;
  }
  if (wait.expired()) return stalled(step, wait.limit());

  wait.until([&] { return libssh2_channel_close(channel_); });
  if (wait.expired()) return stalled(step, wait.limit());
  if (outputEnded) {
    exitStatus = awaitExitStatus(wait);
    if (wait.expired()) return stalled(step, wait.limit());
  }
  libssh2_channel_free(channel_);
  channel_ = nullptr;
  return status;
}

int SshLink::awaitExitStatus(DeviceWait& wait) {
  // The device sends the exit status, or the signal that ended the command, before it closes its
  // side of the channel.
  if (wait.until([&] { return libssh2_channel_wait_closed(channel_); }) != 0) return kNoExitStatus;
  char* signal = nullptr;
  libssh2_channel_get_exit_signal(channel_, &signal, nullptr, nullptr, nullptr, nullptr, nullptr);
  if (signal != nullptr) {
    libssh2_free(session_, signal);
    return kNoExitStatus;
  }
  return libssh2_channel_get_exit_status(channel_);
}

}  // namespace provision
