#include "support/zip_builder.h"

#include <zip.h>

#include <stdexcept>

namespace provision::test {

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
    const zip_int64_t index = zip_file_add(archive, entry.name.c_str(), data, ZIP_FL_ENC_UTF_8);
    zip_set_file_compression(archive, static_cast<zip_uint64_t>(index),
                             entry.stored ? ZIP_CM_STORE : ZIP_CM_DEFLATE, 0);
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

}  // namespace provision::test
