#include "workspace/package_archive.h"

#include <zip.h>

#include <fstream>
#include <memory>

#include "log/text.h"
#include "workspace/filesystem.h"

namespace provision {
namespace {

constexpr std::size_t kReadSize = 64 * 1024;

// Feeds libzip from a local file through the standard library, which takes UTF-8 paths on every
// platform (toFsPath).
class LocalFileSource {
 public:
  explicit LocalFileSource(const std::string& path) : path_(toFsPath(path)) {
    zip_error_init(&error_);
  }
  ~LocalFileSource() { zip_error_fini(&error_); }
  LocalFileSource(const LocalFileSource&) = delete;
  LocalFileSource& operator=(const LocalFileSource&) = delete;

  static zip_int64_t callback(void* state, void* data, zip_uint64_t length,
                              zip_source_cmd_t command) {
    return static_cast<LocalFileSource*>(state)->handle(data, length, command);
  }

 private:
  zip_int64_t fail(int code) {
    zip_error_set(&error_, code, 0);
    return -1;
  }

  zip_int64_t handle(void* data, zip_uint64_t length, zip_source_cmd_t command) {
    switch (command) {
      case ZIP_SOURCE_OPEN:
        file_.open(path_, std::ios::in | std::ios::binary | std::ios::ate);
        if (!file_) return fail(ZIP_ER_OPEN);
        size_ = static_cast<zip_uint64_t>(file_.tellg());
        file_.seekg(0);
        return file_ ? 0 : fail(ZIP_ER_SEEK);
      case ZIP_SOURCE_READ: {
        file_.read(static_cast<char*>(data), static_cast<std::streamsize>(length));
        if (file_.bad()) return fail(ZIP_ER_READ);
        const std::streamsize count = file_.gcount();
        file_.clear();  // a short read at the end is no error
        return count;
      }
      case ZIP_SOURCE_CLOSE:
        file_.close();
        return 0;
      case ZIP_SOURCE_STAT: {
        zip_stat_t* stat = ZIP_SOURCE_GET_ARGS(zip_stat_t, data, length, &error_);
        if (stat == nullptr) return -1;
        zip_stat_init(stat);
        stat->size = size_;
        stat->valid |= ZIP_STAT_SIZE;
        return sizeof(zip_stat_t);
      }
      case ZIP_SOURCE_ERROR:
        return zip_error_to_data(&error_, data, length);
      case ZIP_SOURCE_FREE:
        return 0;
      case ZIP_SOURCE_SEEK: {
        const zip_int64_t offset =
            zip_source_seek_compute_offset(position(), size_, data, length, &error_);
        if (offset < 0) return -1;
        file_.seekg(static_cast<std::streamoff>(offset));
        return file_ ? 0 : fail(ZIP_ER_SEEK);
      }
      case ZIP_SOURCE_TELL:
        return static_cast<zip_int64_t>(position());
      case ZIP_SOURCE_SUPPORTS:
        return ZIP_SOURCE_SUPPORTS_SEEKABLE;
      default:
        return fail(ZIP_ER_OPNOTSUPP);
    }
  }

  zip_uint64_t position() { return static_cast<zip_uint64_t>(file_.tellg()); }

  std::filesystem::path path_;
  std::ifstream file_;
  zip_uint64_t size_ = 0;
  zip_error_t error_;
};

struct ArchiveCloser {
  void operator()(zip_t* archive) const { zip_discard(archive); }
};
struct EntryCloser {
  void operator()(zip_file_t* entry) const { zip_fclose(entry); }
};
using OpenArchive = std::unique_ptr<zip_t, ArchiveCloser>;
using OpenEntry = std::unique_ptr<zip_file_t, EntryCloser>;

ArchiveCheck damaged(std::string problem) { return {false, std::move(problem)}; }

std::string errorText(zip_error_t* error) { return zip_error_strerror(error); }

std::string entryName(zip_t* archive, zip_uint64_t index) {
  const char* name = zip_get_name(archive, index, ZIP_FL_ENC_RAW);
  return name == nullptr ? "number " + std::to_string(index) : printable(name);
}

// Reads one entry to its end; libzip compares what it read with the entry's size and CRC-32.
ArchiveCheck checkEntry(zip_t* archive, zip_uint64_t index, char* buffer) {
  OpenEntry entry(zip_fopen_index(archive, index, 0));
  if (!entry) {
    return damaged("its entry " + entryName(archive, index) + " cannot be read (" +
                   errorText(zip_get_error(archive)) + ")");
  }
  zip_int64_t count;
  while ((count = zip_fread(entry.get(), buffer, kReadSize)) > 0) {
  }
  if (count < 0) {
    return damaged("its entry " + entryName(archive, index) + " is damaged (" +
                   errorText(zip_file_get_error(entry.get())) + ")");
  }
  return {true, {}};
}

// Takes `source` over, whatever happens.
ArchiveCheck checkSource(zip_source_t* source) {
  zip_error_t error;
  zip_error_init(&error);
  OpenArchive archive(zip_open_from_source(source, ZIP_RDONLY | ZIP_CHECKCONS, &error));
  if (!archive) {
    zip_source_free(source);
    ArchiveCheck result = damaged("it cannot be read as a zip archive (" + errorText(&error) + ")");
    zip_error_fini(&error);
    return result;
  }
  zip_error_fini(&error);

  const zip_int64_t entries = zip_get_num_entries(archive.get(), 0);
  if (entries <= 0) return damaged("it holds no files");
  const std::unique_ptr<char[]> buffer = std::make_unique_for_overwrite<char[]>(kReadSize);
  for (zip_uint64_t index = 0; index < static_cast<zip_uint64_t>(entries); ++index) {
    ArchiveCheck entry = checkEntry(archive.get(), index, buffer.get());
    if (!entry.sound) return entry;
  }
  return {true, {}};
}

}  // namespace

ArchiveCheck checkPackageArchive(const std::string& path) {
  LocalFileSource file(path);
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* source = zip_source_function_create(LocalFileSource::callback, &file, &error);
  zip_error_fini(&error);
  if (source == nullptr) return damaged("it cannot be read");
  return checkSource(source);
}

ArchiveCheck checkPackageArchive(const void* data, std::size_t size) {
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* source = zip_source_buffer_create(data, size, 0, &error);
  zip_error_fini(&error);
  if (source == nullptr) return damaged("it cannot be read");
  return checkSource(source);
}

}  // namespace provision
