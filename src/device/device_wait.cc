#include "device/device_wait.h"

// ssh_send_keepalive, libssh's only request that the peer must answer, is declared with the
// server functions (and built with them).
#include <libssh/server.h>

#include <algorithm>

#include "device/socket.h"

namespace provision {

DeviceWait::DeviceWait(ssh_session session, socket_t sock, const ssh_counter_struct& received,
                       std::chrono::milliseconds limit, Progress progress,
                       std::chrono::milliseconds keepaliveInterval, Clock::time_point deadline)
    : session_(session),
      sock_(sock),
      received_(received),
      receivedBefore_(received.in_bytes),
      limit_(limit),
      progress_(progress),
      keepaliveInterval_(keepaliveInterval),
      deadline_(deadline),
      since_(Clock::now()),
      nextKeepalive_(since_ + keepaliveInterval) {}

bool DeviceWait::await() {
  if (progress_ == Progress::AnyByte && received_.in_bytes != receivedBefore_) {
    receivedBefore_ = received_.in_bytes;
    since_ = Clock::now();
  }
  const Clock::time_point now = Clock::now();
  const Clock::time_point deadline = std::min(since_ + limit_, deadline_);
  if (expired_ || now >= deadline) {
    expired_ = true;
    return false;
  }
  Clock::time_point wakeUp = deadline;
  if (keepaliveInterval_.count() > 0) {
    if (now >= nextKeepalive_) {
      sendKeepalive();
      nextKeepalive_ = now + keepaliveInterval_;
    }
    wakeUp = std::min(wakeUp, nextKeepalive_);
  }
  // libssh waits for the socket to be readable unless it holds output that the socket has not
  // taken yet.
  const bool write = (ssh_get_poll_flags(session_) & SSH_WRITE_PENDING) != 0;
  net::waitSocket(sock_, write, std::chrono::ceil<std::chrono::milliseconds>(wakeUp - now));
  return true;
}

void DeviceWait::sendKeepalive() {
  // Non-blocking, ssh_send_keepalive keeps one request open: while the last one is unanswered a
  // call only looks for its reply, and the call that finds the reply sends nothing either. The
  // second call therefore sends the new request when the first one only collected the old reply;
  // a device that left the last request unanswered gets no second one.
  ssh_send_keepalive(session_);
  ssh_send_keepalive(session_);
}

}  // namespace provision
