// The few SFTP (version 3) messages the link exchanges with the device's SFTP server: the version
// exchange, open a file, write to it, close it, rename and remove one, and the server's version,
// status and handle replies. They travel on the channel of the device's "sftp" subsystem; the link
// writes and reads them itself, so that an upload holds only the request being written, however
// many are under way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace provision::sftp {

inline constexpr std::uint8_t kInit = 1;
inline constexpr std::uint8_t kVersion = 2;
inline constexpr std::uint8_t kOpen = 3;
inline constexpr std::uint8_t kClose = 4;
inline constexpr std::uint8_t kWrite = 6;
inline constexpr std::uint8_t kRemove = 13;
inline constexpr std::uint8_t kRename = 18;
inline constexpr std::uint8_t kExtended = 200;
inline constexpr std::uint8_t kStatus = 101;
inline constexpr std::uint8_t kHandle = 102;

inline constexpr std::uint32_t kStatusOk = 0;
inline constexpr std::uint32_t kStatusNoSuchFile = 2;
inline constexpr std::uint32_t kStatusUnsupported = 8;

// The extension that renames over an existing file in one step (rename(2) on the server), where
// the protocol's own rename refuses an existing target.
inline constexpr const char* kPosixRename = "posix-rename@openssh.com";

// The protocol version the link speaks, and the id its VERSION reply is matched by: that reply
// carries no request id, and the link numbers its requests from 1.
inline constexpr std::uint32_t kProtocolVersion = 3;
inline constexpr std::uint32_t kVersionId = 0;

// Open flags and attributes, as the protocol numbers them.
inline constexpr std::uint32_t kOpenWrite = 0x02;
inline constexpr std::uint32_t kOpenCreate = 0x08;
inline constexpr std::uint32_t kOpenTruncate = 0x10;
inline constexpr std::uint32_t kAttributePermissions = 0x04;
inline constexpr std::uint32_t kRegularFile = 0100000;

// The longest handle a server may give (the protocol's limit).
inline constexpr std::size_t kMaxHandle = 256;
// The longest reply the upload accepts; the server's replies to its requests are far shorter.
inline constexpr std::size_t kMaxReply = 64 * 1024;
// The head of a write request: length, type, id, handle, offset, data length.
inline constexpr std::size_t kMaxWriteHead = 4 + 1 + 4 + 4 + kMaxHandle + 8 + 4;

// The INIT message that starts the exchange, asking for kProtocolVersion.
std::string initRequest();
// A whole open request for `path` with the given flags and permission bits.
std::string openRequest(std::uint32_t id, const std::string& path, std::uint32_t flags,
                        std::uint32_t permissions);
// A whole close request.
std::string closeRequest(std::uint32_t id, const std::string& handle);
// A rename of `from` to `to` that replaces a file at `to`: the posix-rename extension.
std::string posixRenameRequest(std::uint32_t id, const std::string& from, const std::string& to);
// The protocol's own rename, which fails when `to` exists.
std::string renameRequest(std::uint32_t id, const std::string& from, const std::string& to);
// A whole remove request for the file at `path`.
std::string removeRequest(std::uint32_t id, const std::string& path);
// The head of a write request; the `length` data bytes follow it in the same message.
std::string writeHead(std::uint32_t id, const std::string& handle, std::uint64_t offset,
                      std::uint32_t length);

// One reply of the server. `status` is set for status replies, `handle` for handle replies,
// `version` for the VERSION reply (whose id is kVersionId).
struct Reply {
  std::uint8_t type = 0;
  std::uint32_t id = 0;
  std::uint32_t status = 0;
  std::uint32_t version = 0;
  std::string handle;
};

// Cuts what the server sends into replies.
class ReplyReader {
 public:
  void append(const char* data, std::size_t size);
  // Takes the next whole reply. False when none has fully arrived yet, or the stream is broken.
  bool next(Reply& reply);
  // Whether the server sent something that is no reply this upload understands: a message too
  // short or too long for its type, or a handle longer than the protocol allows.
  bool broken() const { return broken_; }

 private:
  std::string buffer_;
  std::size_t start_ = 0;
  bool broken_ = false;
};

}  // namespace provision::sftp
