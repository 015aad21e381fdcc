// Zip archives for tests, made in memory with libzip.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace provision::test {

struct ZipEntry {
  std::string name;              // ending in "/" for a folder
  std::string data;              // a link's target for a link
  bool stored = false;           // kept as it is, not deflated
  std::uint32_t unixMode = 0;    // with its file type, e.g. kLinkMode; 0: libzip's default
  std::string unicodeName = "";  // a name in a Unicode path field beside the entry's own, which
                                 // Info-ZIP's unzip and libzip take instead
};

// The Unix mode of a symbolic link.
inline constexpr std::uint32_t kLinkMode = 0120777;

// The bytes of an archive with `entries`, in this order.
std::string makeZip(const std::vector<ZipEntry>& entries);

// `archive` with one byte flipped in the middle of the first place where `data` lies in it, as a
// bad sector or a faulty transfer leaves it.
std::string flipByteIn(std::string archive, const std::string& data);

// `archive` with the byte `distance` bytes past the first place where `marker` lies flipped: past
// an entry's name in its local header lies its (deflated) data.
std::string flipByteAfter(std::string archive, const std::string& marker, std::size_t distance);

// The fields that an entry's local header and its central directory record both hold.
struct EntryHeader {
  std::uint16_t flags;
  std::uint16_t method;
  std::uint32_t crc;
  std::uint32_t compressedSize;
  std::uint32_t size;
};

// `archive` with the headers of the entry `name` changed by `change`, in its local header and its
// central directory record alike (so libzip finds them consistent): the headers of a broken zip
// writer, or a compression method that libzip cannot make.
std::string withHeader(std::string archive, const std::string& name,
                       const std::function<void(EntryHeader&)>& change);

// `archive` with the entry `from` named `to` (of the same length), in its local header and its
// central directory record: a name that libzip would not write, such as one with a control
// character.
std::string renamed(std::string archive, const std::string& from, const std::string& to);

// The CRC-32 of `data`.
std::uint32_t crcOf(const std::string& data);

}  // namespace provision::test
