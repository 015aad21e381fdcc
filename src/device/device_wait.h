// Bounded waits for the device. libssh2 runs non-blocking under the SSH link; whenever a call
// answers that it would block, the link waits here for the socket, and gives up on a device that
// no longer answers instead of waiting forever.
#pragma once

#include <libssh2.h>

#include <chrono>
#include <type_traits>

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
  // progresses. With a keepalive interval, a keepalive request that the device must answer goes
  // out that often while the step waits, so that a live device that is merely busy keeps sending
  // bytes.
  DeviceWait(LIBSSH2_SESSION* session, libssh2_socket_t sock, std::chrono::milliseconds limit,
             Progress progress, std::chrono::milliseconds keepaliveInterval = {},
             Clock::time_point deadline = Clock::time_point::max());

  // Calls `call` until libssh2 no longer answers that it would block, waiting for the socket in
  // between. Returns the last result; expired() tells whether the wait gave up.
  template <typename Call>
  auto until(Call call) {
    for (;;) {
      auto result = call();
      if (!wouldBlock(result) || !await()) return result;
    }
  }

  // Waits until the socket is ready for what libssh2 is blocked on, or until the next keepalive
  // is due. False, and expired() from then on, once the step has made no progress for the limit.
  bool await();

  void progressed() { since_ = Clock::now(); }
  bool expired() const { return expired_; }
  std::chrono::milliseconds limit() const { return limit_; }

 private:
  template <typename Result>
  bool wouldBlock(Result result) const {
    if constexpr (std::is_pointer_v<Result>) {
      return result == nullptr && libssh2_session_last_errno(session_) == LIBSSH2_ERROR_EAGAIN;
    } else {
      return result == LIBSSH2_ERROR_EAGAIN;
    }
  }

  LIBSSH2_SESSION* session_;
  libssh2_socket_t sock_;
  std::chrono::milliseconds limit_;
  Progress progress_;
  std::chrono::milliseconds keepaliveInterval_;
  Clock::time_point deadline_;
  Clock::time_point since_;
  Clock::time_point nextKeepalive_;
  bool expired_ = false;
};

}  // namespace provision
