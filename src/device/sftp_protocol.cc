#include "device/sftp_protocol.h"

namespace provision::sftp {
namespace {

void putU32(std::string& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((value >> shift) & 0xff);
}

void putU64(std::string& out, std::uint64_t value) {
  putU32(out, static_cast<std::uint32_t>(value >> 32));
  putU32(out, static_cast<std::uint32_t>(value & 0xffffffffu));
}

void putString(std::string& out, const std::string& text) {
  putU32(out, static_cast<std::uint32_t>(text.size()));
  out += text;
}

// A message: its length, then type, id and the rest.
std::string message(std::uint8_t type, std::uint32_t id, const std::string& body,
                    std::uint32_t trailing = 0) {
  std::string out;
  putU32(out, static_cast<std::uint32_t>(1 + 4 + body.size() + trailing));
  out += static_cast<char>(type);
  putU32(out, id);
  return out + body;
}

// Reads big-endian numbers and strings from one message, refusing to read past its end.
class Cursor {
 public:
  Cursor(const char* data, std::size_t size) : data_(data), size_(size) {}

  bool u32(std::uint32_t& value) {
    if (size_ - at_ < 4) return false;
    value = 0;
    for (int i = 0; i < 4; ++i) value = value << 8 | static_cast<unsigned char>(data_[at_++]);
    return true;
  }
  bool string(std::string& text, std::size_t limit) {
    std::uint32_t length = 0;
    if (!u32(length) || length > limit || size_ - at_ < length) return false;
    text.assign(data_ + at_, length);
    at_ += length;
    return true;
  }

 private:
  const char* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

}  // namespace

std::string initRequest() {
  // INIT has no id: the version takes its place.
  return message(kInit, kProtocolVersion, {});
}

std::string openRequest(std::uint32_t id, const std::string& path, std::uint32_t flags,
                        std::uint32_t permissions) {
  std::string body;
  putString(body, path);
  putU32(body, flags);
  putU32(body, kAttributePermissions);
  putU32(body, permissions);
  return message(kOpen, id, body);
}

std::string closeRequest(std::uint32_t id, const std::string& handle) {
  std::string body;
  putString(body, handle);
  return message(kClose, id, body);
}

std::string posixRenameRequest(std::uint32_t id, const std::string& from, const std::string& to) {
  std::string body;
  putString(body, kPosixRename);
  putString(body, from);
  putString(body, to);
  return message(kExtended, id, body);
}

std::string renameRequest(std::uint32_t id, const std::string& from, const std::string& to) {
  std::string body;
  putString(body, from);
  putString(body, to);
  return message(kRename, id, body);
}

std::string removeRequest(std::uint32_t id, const std::string& path) {
  std::string body;
  putString(body, path);
  return message(kRemove, id, body);
}

std::string writeHead(std::uint32_t id, const std::string& handle, std::uint64_t offset,
                      std::uint32_t length) {
  std::string body;
  putString(body, handle);
  putU64(body, offset);
  putU32(body, length);
  return message(kWrite, id, body, length);
}

void ReplyReader::append(const char* data, std::size_t size) {
  // What was read is dropped before the buffer grows, so it holds one reply or two at most.
  if (start_ > 0 && start_ == buffer_.size()) {
    buffer_.clear();
    start_ = 0;
  } else if (start_ > kMaxReply) {
    buffer_.erase(0, start_);
    start_ = 0;
  }
  buffer_.append(data, size);
}

bool ReplyReader::next(Reply& reply) {
  if (broken_) return false;
  const std::size_t available = buffer_.size() - start_;
  if (available < 4) return false;
  Cursor head(buffer_.data() + start_, available);
  std::uint32_t length = 0;
  head.u32(length);
  if (length < 5 || length > kMaxReply) {
    broken_ = true;
    return false;
  }
  if (available - 4 < length) return false;

  const char* body = buffer_.data() + start_ + 4;
  start_ += 4 + length;
  reply = Reply{};
  reply.type = static_cast<std::uint8_t>(body[0]);
  Cursor fields(body + 1, length - 1);
  fields.u32(reply.id);
  bool whole = true;
  if (reply.type == kVersion) {
    // The version stands where other replies have their id; the extensions after it are not used.
    reply.version = reply.id;
    reply.id = kVersionId;
  } else if (reply.type == kStatus) {
    // The message and language tag that follow the code are not used.
    whole = fields.u32(reply.status);
  } else if (reply.type == kHandle) {
    whole = fields.string(reply.handle, kMaxHandle) && !reply.handle.empty();
  }
  if (!whole) broken_ = true;
  return whole;
}

}  // namespace provision::sftp
