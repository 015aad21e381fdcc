// Bounded waits for the device. libssh runs non-blocking under the SSH link; whenever a call
// answers that it would block, the link waits here for the socket, and gives up on a device that
// no longer answers instead of waiting forever.
#pragma once

#include <libssh/libssh.h>

#include <chrono>
#include <cstdint>

namespace provision {

class DeviceWait {
 public:
  using Clock = std::chrono::steady_clock;

  // What counts as progress of the step.
  enum class Progress {
    AnyByte,   // any byte from the device
    Reported,  // only what the caller reports through progressed(), e.g. acknowledged data
  };

  // A step that stalls once the device made no progress for `limit`, or at `deadline` however it
  // progresses. `received` counts the bytes libssh has read from the socket: any of them is
  // progress of an AnyByte step, whichever call took them in. With a keepalive interval, a
  // keepalive request that the device must answer goes out that often while the step waits, so that
  // a live device that is merely busy keeps sending bytes.
  DeviceWait(ssh_session session, socket_t sock, const ssh_counter_struct& received,
             std::chrono::milliseconds limit, Progress progress,
             std::chrono::milliseconds keepaliveInterval = {},
             Clock::time_point deadline = Clock::time_point::max());

  // Calls `call` until libssh no longer answers that it would block (`again`: SSH_AGAIN, or
  // SSH_AUTH_AGAIN for a login), waiting for the socket in between. Returns the last result;
  // expired() tells whether the wait gave up.
  template <typename Call>
  int until(Call call, int again = SSH_AGAIN) {
    for (;;) {
      const int result = call();
      if (result != again || !await()) return result;
    }
  }

  // Waits until the socket is ready for what libssh is blocked on, or until the next keepalive
  // is due. False, and expired() from then on, once the step has made no progress for the limit.
  bool await();

  void progressed() { since_ = Clock::now(); }
  bool expired() const { return expired_; }
  std::chrono::milliseconds limit() const { return limit_; }

 private:
  void sendKeepalive();

  ssh_session session_;
  socket_t sock_;
  const ssh_counter_struct& received_;
  std::uint64_t receivedBefore_;
  std::chrono::milliseconds limit_;
  Progress progress_;
  std::chrono::milliseconds keepaliveInterval_;
  Clock::time_point deadline_;
  Clock::time_point since_;
  Clock::time_point nextKeepalive_;
  bool expired_ = false;
};

}  // namespace provision
