// Zip archives for tests, made in memory with libzip.
#pragma once

#include <string>
#include <vector>

namespace provision::test {

struct ZipEntry {
  std::string name;  // ending in "/" for a folder
  std::string data;
  bool stored = false;  // kept as it is, not deflated
};

// The bytes of an archive with `entries`, in this order.
std::string makeZip(const std::vector<ZipEntry>& entries);

// `archive` with one byte flipped in the middle of the first place where `data` lies in it, as a
// bad sector or a faulty transfer leaves it.
std::string flipByteIn(std::string archive, const std::string& data);

// `archive` with the byte `distance` bytes past the first place where `marker` lies flipped: past
// an entry's name in its local header lies its (deflated) data.
std::string flipByteAfter(std::string archive, const std::string& marker, std::size_t distance);

}  // namespace provision::test
