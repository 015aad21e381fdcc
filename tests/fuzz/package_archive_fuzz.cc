// Package archives: the check never fails on its own account, whatever bytes it is given, and an
// archive it calls sound unpacks alike with every unit's unzip: every entry is stored or deflated
// and not encrypted, reads to the size its header gives, and the bytes read have the CRC-32 the
// archive records for them (computed here with zlib, not taken from the check); no name is empty,
// absolute, climbs out with "..", or holds a backslash or a control character; no link is
// absolute; and at least one entry is a file.
#include <zip.h>
#include <zlib.h>

#include <memory>
#include <vector>

#include "log/text.h"
#include "package/package_archive.h"
#include "property.h"

namespace provision::fuzz {
namespace {

struct ArchiveCloser {
  void operator()(zip_t* archive) const { zip_discard(archive); }
};

bool isLink(zip_t* archive, zip_uint64_t index) {
  zip_uint8_t system;
  zip_uint32_t attributes;
  return zip_file_get_external_attributes(archive, index, 0, &system, &attributes) == 0 &&
         ((attributes >> 16) & 0170000) == 0120000;
}

void requireUnpackableName(const std::string& name) {
  require(!name.empty() && name.front() != '/', "no name is empty or absolute");
  require(name.find('\\') == std::string::npos, "no name holds a backslash");
  for (char c : name) require(!isControlCharacter(c), "no name holds a control character");
  const std::string slashed = "/" + name + "/";
  require(slashed.find("/../") == std::string::npos, "no name climbs out");
}

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
  bool holdsFile = false;
  std::vector<unsigned char> buffer(1 << 16);
  for (zip_uint64_t index = 0; index < static_cast<zip_uint64_t>(entries); ++index) {
    zip_stat_t stat;
    require(zip_stat_index(archive.get(), index, ZIP_FL_ENC_RAW, &stat) == 0,
            "every entry has its header");
    require(stat.comp_method == ZIP_CM_STORE || stat.comp_method == ZIP_CM_DEFLATE,
            "every entry is stored or deflated");
    require(stat.encryption_method == ZIP_EM_NONE, "no entry is encrypted");
    const std::string name = stat.name;
    requireUnpackableName(name);
    const bool link = isLink(archive.get(), index);
    holdsFile = holdsFile || (!link && !name.ends_with('/'));

    zip_file_t* entry = zip_fopen_index(archive.get(), index, 0);
    require(entry != nullptr, "every entry opens");
    zip_uint64_t total = 0;
    uLong crc = crc32(0, nullptr, 0);
    std::string target;
    zip_int64_t count;
    while ((count = zip_fread(entry, buffer.data(), buffer.size())) > 0) {
      total += static_cast<zip_uint64_t>(count);
      crc = crc32(crc, buffer.data(), static_cast<uInt>(count));
      if (link)
        target.append(reinterpret_cast<const char*>(buffer.data()),
                      static_cast<std::size_t>(count));
    }
    zip_fclose(entry);
    require(count == 0, "every entry reads to its end");
    require(total == stat.size, "every entry has the size its header gives");
    require(crc == stat.crc, "every entry has the CRC-32 the archive records");
    if (link) require(!target.empty() && target.front() != '/', "no link is absolute");
  }
  require(holdsFile, "a sound archive holds a file");
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
