// The SFTP server's replies, from its VERSION on: whatever bytes the device sends, and however the
// channel cuts them, the reader gives the same replies, each within the protocol's limits, and
// once it finds something that is no reply it gives nothing more.
#include <cstdint>
#include <string>
#include <vector>

#include "device/sftp_protocol.h"
#include "property.h"

namespace provision::fuzz {
namespace {

struct Read {
  std::vector<sftp::Reply> replies;
  bool broken = false;
};

// Feeds `stream` in pieces whose sizes cycle through `cuts` (1 to 256 bytes each).
Read readInPieces(const std::string& stream, const std::string& cuts) {
  sftp::ReplyReader reader;
  Read read;
  std::size_t at = 0;
  for (std::size_t i = 0; at < stream.size(); ++i) {
    const std::size_t piece =
        cuts.empty() ? stream.size() : 1 + static_cast<unsigned char>(cuts[i % cuts.size()]);
    const std::size_t length = std::min(piece, stream.size() - at);
    reader.append(stream.data() + at, length);
    at += length;
    for (sftp::Reply reply; reader.next(reply);) read.replies.push_back(reply);
  }
  read.broken = reader.broken();
  sftp::Reply after;
  require(!read.broken || !reader.next(after), "a broken stream gave another reply");
  return read;
}

bool sameReplies(const std::vector<sftp::Reply>& a, const std::vector<sftp::Reply>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].type != b[i].type || a[i].id != b[i].id || a[i].status != b[i].status ||
        a[i].version != b[i].version || a[i].handle != b[i].handle)
      return false;
  }
  return true;
}

}  // namespace
}  // namespace provision::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace provision;
  using namespace provision::fuzz;
  // The first byte picks how long the list of piece sizes is; the rest is split between them.
  if (size == 0) return 0;
  const std::size_t cutLength = std::min<std::size_t>(data[0] % 8, size - 1);
  const std::string cuts = textOf(data + 1, cutLength);
  const std::string stream = textOf(data + 1 + cutLength, size - 1 - cutLength);

  const Read whole = readInPieces(stream, "");
  const Read pieces = readInPieces(stream, cuts);
  require(whole.broken == pieces.broken, "the cut of the stream changed whether it is broken");
  require(sameReplies(whole.replies, pieces.replies), "the cut of the stream changed the replies");
  for (const sftp::Reply& reply : whole.replies) {
    require(reply.type != sftp::kHandle ||
                (!reply.handle.empty() && reply.handle.size() <= sftp::kMaxHandle),
            "a handle outside the protocol's limits");
    require(reply.type == sftp::kHandle || reply.handle.empty(), "a handle in another reply");
    require(reply.type != sftp::kVersion || reply.id == sftp::kVersionId,
            "a version reply that could answer a request");
    require(reply.type == sftp::kVersion || reply.version == 0, "a version in another reply");
  }
  return 0;
}
