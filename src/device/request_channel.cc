#include "device/request_channel.h"

namespace provision {
namespace {

// What one read from the channel takes: the server's replies are a few dozen bytes each.
constexpr std::size_t kReplyReadSize = 4096;

}  // namespace

int RequestChannel::writeSome(const char* data, std::size_t size, std::size_t& written) {
  // Non-blocking, libssh takes as much as the device's channel window admits (nothing while it is
  // closed) and queues it whole, as one packet per piece; the socket takes it while libssh is
  // called next.
  const int count =
      ssh_channel_write(channel_, data + written, static_cast<std::uint32_t>(size - written));
  if (count < 0) return -1;
  if (count == 0) return 0;
  written += static_cast<std::size_t>(count);
  return 1;
}

int RequestChannel::readSome() {
  char buffer[kReplyReadSize];
  const int count = ssh_channel_read_nonblocking(channel_, buffer, sizeof buffer, 0);
  if (count == 0) return 0;
  // SSH_EOF or SSH_ERROR: the channel ended or failed.
  if (count < 0) return -1;
  replies_.append(buffer, static_cast<std::size_t>(count));
  return 1;
}

Exchange RequestChannel::exchange(const std::string& request, std::uint32_t id, DeviceWait& wait,
                                  sftp::Reply& reply) {
  std::size_t written = 0;
  while (written < request.size()) {
    const int io = writeSome(request.data(), request.size(), written);
    if (io < 0) return Exchange::Broken;
    if (io == 0 && !wait.await()) return Exchange::Stalled;
  }
  for (;;) {
    while (nextReply(reply)) {
      if (reply.id == id) return Exchange::Done;
    }
    if (broken()) return Exchange::Broken;
    const int io = readSome();
    if (io < 0) return Exchange::Broken;
    if (io == 0 && !wait.await()) return Exchange::Stalled;
  }
}

}  // namespace provision
