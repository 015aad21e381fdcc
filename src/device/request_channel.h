// The SFTP channel as the link's version exchange, uploads and single requests use it: requests
// written whole, replies read and matched by id.
#pragma once

#include <libssh/libssh.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "device/device_wait.h"
#include "device/sftp_protocol.h"

namespace provision {

// How a step of the exchange with the SFTP server went.
enum class Exchange { Done, Broken, Stalled };

// The upload's side of the SFTP channel: requests written whole, replies read and matched by id.
// Replies to requests that an earlier failed upload let go are skipped.
class RequestChannel {
 public:
  RequestChannel(ssh_channel channel, sftp::ReplyReader& replies, std::uint32_t& nextId)
      : channel_(channel), replies_(replies), nextId_(nextId) {}

  std::uint32_t newId() { return nextId_++; }

  // One write of what remains of `data`. 1: something was written, 0: the channel would block,
  // -1: it failed.
  int writeSome(const char* data, std::size_t size, std::size_t& written);

  // One read of what the server sent. 1: replies may have arrived, 0: nothing yet, -1: the channel
  // ended or failed.
  int readSome();

  // The next whole reply that arrived, if any.
  bool nextReply(sftp::Reply& reply) { return replies_.next(reply); }
  bool broken() const { return replies_.broken(); }

  // Writes `request` whole and waits for the reply with `id`.
  Exchange exchange(const std::string& request, std::uint32_t id, DeviceWait& wait,
                    sftp::Reply& reply);

 private:
  ssh_channel channel_;
  sftp::ReplyReader& replies_;
  std::uint32_t& nextId_;
};

}  // namespace provision
