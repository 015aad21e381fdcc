// Package archives: the check never fails on its own account, whatever bytes it is given, and an
// archive it calls sound unpacks: every entry reads to the size its header gives, and the bytes
// read have the CRC-32 the archive records for them (computed here with zlib, not taken from the
// check).
#include <zip.h>
#include <zlib.h>

#include <memory>
#include <vector>

#include "property.h"
#include "workspace/package_archive.h"

namespace provision::fuzz {
namespace {

struct ArchiveCloser {
  void operator()(zip_t* archive) const { zip_discard(archive); }
};

void requireUnpacks(const std::uint8_t* data, std::size_t size) {
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* source = zip_source_buffer_create(data, size, 0, &error);
  require(source != nullptr, "a buffer source can be made");
  std::unique_ptr<zip_t, ArchiveCloser> archive(zip_open_from_source(source, ZIP_RDONLY, &error));
  zip_error_fini(&error);
  if (!archive) zip_source_free(source);
  require(archive != nullptr, "a sound archive opens");

  const zip_int64_t entries = zip_get_num_entries(archive.get(), 0);
  require(entries > 0, "a sound archive holds entries");
  std::vector<unsigned char> buffer(1 << 16);
  for (zip_uint64_t index = 0; index < static_cast<zip_uint64_t>(entries); ++index) {
    zip_stat_t stat;
    require(zip_stat_index(archive.get(), index, 0, &stat) == 0, "every entry has its header");
    zip_file_t* entry = zip_fopen_index(archive.get(), index, 0);
    require(entry != nullptr, "every entry opens");
    zip_uint64_t total = 0;
    uLong crc = crc32(0, nullptr, 0);
    zip_int64_t count;
    while ((count = zip_fread(entry, buffer.data(), buffer.size())) > 0) {
      total += static_cast<zip_uint64_t>(count);
      crc = crc32(crc, buffer.data(), static_cast<uInt>(count));
    }
    zip_fclose(entry);
    require(count == 0, "every entry reads to its end");
    require(total == stat.size, "every entry has the size its header gives");
    require(crc == stat.crc, "every entry has the CRC-32 the archive records");
  }
}

}  // namespace
}  // namespace provision::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const provision::ArchiveCheck check = provision::checkPackageArchive(data, size);
  provision::fuzz::require(check.sound == check.problem.empty(),
                           "a problem is named exactly when the archive is not sound");
  if (check.sound) provision::fuzz::requireUnpacks(data, size);
  return 0;
}
