#include "device/device_wait.h"

#include <algorithm>

#include "device/socket.h"

namespace provision {

DeviceWait::DeviceWait(LIBSSH2_SESSION* session, libssh2_socket_t sock,
                       std::chrono::milliseconds limit, Progress progress,
                       std::chrono::milliseconds keepaliveInterval, Clock::time_point deadline)
    : session_(session),
      sock_(sock),
      limit_(limit),
      progress_(progress),
      keepaliveInterval_(keepaliveInterval),
      deadline_(deadline),
      since_(Clock::now()),
      nextKeepalive_(since_ + keepaliveInterval) {}

bool DeviceWait::await() {
  const Clock::time_point now = Clock::now();
  const Clock::time_point deadline = std::min(since_ + limit_, deadline_);
  if (expired_ || now >= deadline) {
    expired_ = true;
    return false;
  }
  Clock::time_point wakeUp = deadline;
  if (keepaliveInterval_.count() > 0) {
    if (now >= nextKeepalive_) {
      // A full send buffer only delays the request; the next one goes out on time.
      int secondsToNext = 0;
      libssh2_keepalive_send(session_, &secondsToNext);
      nextKeepalive_ = now + keepaliveInterval_;
    }
    wakeUp = std::min(wakeUp, nextKeepalive_);
  }
  const int directions = libssh2_session_block_directions(session_);
  const bool write = (directions & LIBSSH2_SESSION_BLOCK_OUTBOUND) != 0;
  const bool read = (directions & LIBSSH2_SESSION_BLOCK_INBOUND) != 0 || !write;
  const net::Readiness ready = net::waitSocket(
      sock_, read, write, std::chrono::ceil<std::chrono::milliseconds>(wakeUp - now));
  if (ready.readable && progress_ == Progress::AnyByte) since_ = Clock::now();
  return true;
}

}  // namespace provision
