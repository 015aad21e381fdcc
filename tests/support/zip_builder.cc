#include "support/zip_builder.h"

#include <zip.h>
#include <zlib.h>

#include <stdexcept>

namespace provision::test {
namespace {

constexpr std::uint16_t kUnicodePathField = 0x7075;

void putLittleEndian(std::string& bytes, std::size_t at, std::uint32_t value, int width) {
  for (int i = 0; i < width; ++i)
    bytes[at + static_cast<std::size_t>(i)] = static_cast<char>(value >> (8 * i));
}

std::uint32_t littleEndian(const std::string& bytes, std::size_t at, int width) {
  std::uint32_t value = 0;
  for (int i = width - 1; i >= 0; --i)
    value = value << 8 | static_cast<unsigned char>(bytes.at(at + static_cast<std::size_t>(i)));
  return value;
}

// The Unicode path field: version 1, the CRC-32 of the entry's own name, the name in UTF-8. libzip
// writes that field only itself, so it goes in under a stand-in ID, which patchUnicodeNames()
// changes in the finished archive.
constexpr std::uint16_t kStandInField = 0x7a7a;

std::string unicodeNameField(const ZipEntry& entry) {
  std::string field(5, '\0');
  field[0] = 1;
  putLittleEndian(field, 1, crcOf(entry.name), 4);
  return field + entry.unicodeName;
}

void addUnicodeName(zip_t* archive, zip_uint64_t index, const ZipEntry& entry) {
  const std::string field = unicodeNameField(entry);
  zip_file_extra_field_set(archive, index, kStandInField, ZIP_EXTRA_FIELD_NEW,
                           reinterpret_cast<const zip_uint8_t*>(field.data()),
                           static_cast<zip_uint16_t>(field.size()), ZIP_FL_LOCAL | ZIP_FL_CENTRAL);
}

// Gives the stand-in fields their real ID, in the local headers and the central directory.
void patchUnicodeNames(std::string& archive, const std::vector<ZipEntry>& entries) {
  for (const ZipEntry& entry : entries) {
    if (entry.unicodeName.empty()) continue;
    const std::string field = unicodeNameField(entry);
    std::string standIn(4, '\0');
    putLittleEndian(standIn, 0, kStandInField, 2);
    putLittleEndian(standIn, 2, static_cast<std::uint32_t>(field.size()), 2);
    standIn += field;
    for (std::size_t at = archive.find(standIn); at != std::string::npos;
         at = archive.find(standIn, at + 1)) {
      putLittleEndian(archive, at, kUnicodePathField, 2);
    }
  }
}

// Reads or writes the fields of EntryHeader at `at`, where a header holds them: general purpose
// flags first, the method 2 bytes on (the time and the date after it), the CRC-32 8 bytes on, then
// both sizes.
void transferHeader(std::string& bytes, std::size_t at,
                    const std::function<void(EntryHeader&)>& change) {
  EntryHeader header{static_cast<std::uint16_t>(littleEndian(bytes, at, 2)),
                     static_cast<std::uint16_t>(littleEndian(bytes, at + 2, 2)),
                     littleEndian(bytes, at + 8, 4), littleEndian(bytes, at + 12, 4),
                     littleEndian(bytes, at + 16, 4)};
  change(header);
  putLittleEndian(bytes, at, header.flags, 2);
  putLittleEndian(bytes, at + 2, header.method, 2);
  putLittleEndian(bytes, at + 8, header.crc, 4);
  putLittleEndian(bytes, at + 12, header.compressedSize, 4);
  putLittleEndian(bytes, at + 16, header.size, 4);
}

}  // namespace

std::string makeZip(const std::vector<ZipEntry>& entries) {
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* buffer = zip_source_buffer_create(nullptr, 0, 0, &error);
  zip_t* archive = zip_open_from_source(buffer, ZIP_TRUNCATE, &error);
  if (archive == nullptr) throw std::runtime_error("cannot start a zip archive");
  zip_source_keep(buffer);
  for (const ZipEntry& entry : entries) {
    if (entry.name.ends_with("/")) {
      zip_dir_add(archive, entry.name.substr(0, entry.name.size() - 1).c_str(), ZIP_FL_ENC_UTF_8);
      continue;
    }
    zip_source_t* data = zip_source_buffer(archive, entry.data.data(), entry.data.size(), 0);
    const auto index = static_cast<zip_uint64_t>(
        zip_file_add(archive, entry.name.c_str(), data, ZIP_FL_ENC_UTF_8));
    zip_set_file_compression(archive, index, entry.stored ? ZIP_CM_STORE : ZIP_CM_DEFLATE, 0);
    if (entry.unixMode != 0)
      zip_file_set_external_attributes(archive, index, 0, ZIP_OPSYS_UNIX, entry.unixMode << 16);
    if (!entry.unicodeName.empty()) addUnicodeName(archive, index, entry);
  }
  if (zip_close(archive) != 0) throw std::runtime_error("cannot write a zip archive");

  std::string bytes;
  zip_stat_t stat;
  if (zip_source_stat(buffer, &stat) == 0 && zip_source_open(buffer) == 0) {
    bytes.resize(stat.size);
    zip_source_read(buffer, bytes.data(), bytes.size());
    zip_source_close(buffer);
  }
  zip_source_free(buffer);
  zip_error_fini(&error);
  patchUnicodeNames(bytes, entries);
  return bytes;
}

std::string flipByteIn(std::string archive, const std::string& data) {
  const std::size_t at = archive.find(data);
  if (at == std::string::npos) throw std::runtime_error("the data is not in the archive as it is");
  archive[at + data.size() / 2] ^= 0x20;
  return archive;
}

std::string flipByteAfter(std::string archive, const std::string& marker, std::size_t distance) {
  const std::size_t at = archive.find(marker);
  if (at == std::string::npos || at + marker.size() + distance >= archive.size())
    throw std::runtime_error("the marker is not in the archive");
  archive[at + marker.size() + distance] ^= 0x20;
  return archive;
}

std::string withHeader(std::string archive, const std::string& name,
                       const std::function<void(EntryHeader&)>& change) {
  // The end of central directory record: the number of entries 10 bytes on, the directory's
  // offset 16 bytes on. Central records: flags 8 bytes on, name length 28, extra field length 30,
  // comment length 32, local header offset 42, name 46. Local headers: flags 6 bytes on.
  const std::size_t end = archive.rfind("PK\x05\x06");
  if (end == std::string::npos) throw std::runtime_error("no end of central directory");
  const std::uint32_t entries = littleEndian(archive, end + 10, 2);
  std::size_t record = littleEndian(archive, end + 16, 4);
  for (std::uint32_t i = 0; i < entries; ++i) {
    const std::size_t nameLength = littleEndian(archive, record + 28, 2);
    const std::size_t next = record + 46 + nameLength + littleEndian(archive, record + 30, 2) +
                             littleEndian(archive, record + 32, 2);
    if (archive.compare(record + 46, nameLength, name) == 0) {
      transferHeader(archive, record + 8, change);
      transferHeader(archive, littleEndian(archive, record + 42, 4) + 6, change);
      return archive;
    }
    record = next;
  }
  throw std::runtime_error("no entry " + name + " in the archive");
}

std::string renamed(std::string archive, const std::string& from, const std::string& to) {
  if (from.size() != to.size()) throw std::runtime_error("a new name of another length");
  int found = 0;
  for (std::size_t at = archive.find(from); at != std::string::npos; at = archive.find(from, at)) {
    archive.replace(at, from.size(), to);
    ++found;
  }
  if (found != 2) throw std::runtime_error("the name " + from + " is not there twice");
  return archive;
}

std::uint32_t crcOf(const std::string& data) {
  return static_cast<std::uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

}  // namespace provision::test
