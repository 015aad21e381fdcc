#include <cstddef>
#include <cstdint>

#include "device/ssh_link.h"
#include "log/run_record.h"

namespace provision {
namespace {

constexpr std::size_t kReadSize = 16384;
constexpr int kStandardOutput = 0;
constexpr int kStandardError = 1;
// What libssh reports as the exit status while the device has sent none.
constexpr int kNoStatusYet = -1;

// The exit status the device sent, or kNoStatusYet. libssh 0.11 (the Windows build's) deprecates
// ssh_channel_get_exit_status for ssh_channel_get_exit_state, which 0.10 (the Linux build's) does
// not have; both look at the packets that arrived in the same way, and a command ended by a
// signal leaves the code at -1 in both.
int exitStatusSoFar(ssh_channel channel) {
#if LIBSSH_VERSION_INT >= SSH_VERSION_INT(0, 11, 0)
  std::uint32_t code = 0;
  if (ssh_channel_get_exit_state(channel, &code, nullptr, nullptr) != SSH_OK) return kNoStatusYet;
  return static_cast<int>(code);
#else
  return ssh_channel_get_exit_status(channel);
#endif
}

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

  channel_ = openChannel(wait);
  if (channel_ == nullptr) return wait.expired() ? stalled(step, wait.limit()) : kSshChannelFailed;

  int status = kSshOk;
  bool outputEnded = false;
  if (wait.until([&] { return ssh_channel_request_exec(channel_, command.c_str()); }) != SSH_OK) {
    status = kSshExecFailed;
  } else {
    // Nothing is ever typed into a command: it gets the end of its input at once, so one that
    // asks a question (unzip about a file that exists) reads that answer instead of waiting.
    wait.until([&] { return ssh_channel_send_eof(channel_); });
    outputEnded = readOutput(wait, output);
  }
  if (wait.expired()) return stalled(step, wait.limit());
  // Only a command whose output ended has an exit status; a channel that failed first has none.
  if (outputEnded) {
    exitStatus = awaitExitStatus(wait);
    if (wait.expired()) return stalled(step, wait.limit());
  }
  releaseChannel();
  return status;
}

bool SshLink::readOutput(DeviceWait& wait, std::string& output) {
  char buffer[kReadSize];
  for (;;) {
    // Standard error is dropped as it arrives; left unread it would fill the channel window and
    // stall standard output, so a chatty command would never end.
    while (ssh_channel_read_nonblocking(channel_, buffer, sizeof buffer, kStandardError) > 0) {
    }
    const int count =
        ssh_channel_read_nonblocking(channel_, buffer, sizeof buffer, kStandardOutput);
    if (count > 0) {
      output.append(buffer, static_cast<std::size_t>(count));
      continue;
    }
    if (count == SSH_EOF) return true;
    if (count < 0 || !wait.await()) return false;
  }
}

int SshLink::awaitExitStatus(DeviceWait& wait) {
  // The device sends the exit status, or the signal that ended the command, before it closes its
  // side of the channel; Dropbear after the end of the output. Once the output ended, libssh's
  // channel reads take in no more packets: the exit status calls still do.
  for (;;) {
    const int exitStatus = exitStatusSoFar(channel_);
    if (exitStatus != kNoStatusYet) return exitStatus;
    // Closed without a status: a signal ended the command, or the link failed.
    if (ssh_channel_is_closed(channel_) || !wait.await()) return kNoExitStatus;
  }
}

void SshLink::releaseChannel() {
  ssh_channel_close(channel_);
  ssh_channel_free(channel_);
  channel_ = nullptr;
}

}  // namespace provision
