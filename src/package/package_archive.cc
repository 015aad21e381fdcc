#include "package/package_archive.h"

#include <zip.h>
#include <zlib.h>

#include <fstream>
#include <memory>
#include <vector>

#include "log/text.h"
#include "package/archive_tree.h"
#include "package/file_digest.h"
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

// The longest link target a unit can make (PATH_MAX, 4096 with its terminating NUL).
constexpr zip_uint64_t kLongestLinkTarget = 4095;

ArchiveCheck damaged(std::string problem) { return {false, {}, std::move(problem)}; }

std::string errorText(zip_error_t* error) { return zip_error_strerror(error); }

// What the table of contents says of one entry.
struct Entry {
  zip_uint64_t index = 0;
  // As the archive holds it; libzip (like Info-ZIP's unzip) takes it from a Unicode path field
  // when the entry has one that belongs to its name.
  std::string name;
  EntryKind kind = EntryKind::File;
  zip_stat_t stat{};

  std::string label() const {
    return "its entry " + (name.empty() ? "number " + std::to_string(index) : printable(name));
  }
};

constexpr zip_uint16_t kZstandard = 93;  // which libzip 1.7.3 does not name

std::string methodName(zip_uint16_t method) {
  switch (method) {
    case ZIP_CM_SHRINK:
      return "Shrink";
    case ZIP_CM_IMPLODE:
      return "Implode";
    case ZIP_CM_DEFLATE64:
      return "Deflate64";
    case ZIP_CM_BZIP2:
      return "bzip2";
    case ZIP_CM_LZMA:
      return "LZMA";
    case kZstandard:
      return "Zstandard";
    case ZIP_CM_XZ:
      return "XZ";
    case ZIP_CM_PPMD:
      return "PPMd";
    default:
      return "an unknown method";
  }
}

// A link is marked by the Unix mode in the upper half of the external attributes. Info-ZIP's
// unzip honours such a mode whatever system the archive says wrote it, so every system's counts.
EntryKind kindOf(zip_t* archive, zip_uint64_t index, const std::string& name) {
  constexpr zip_uint32_t kTypeBits = 0170000;
  constexpr zip_uint32_t kLinkType = 0120000;
  zip_uint8_t system = 0;
  zip_uint32_t attributes = 0;
  if (zip_file_get_external_attributes(archive, index, 0, &system, &attributes) == 0 &&
      ((attributes >> 16) & kTypeBits) == kLinkType) {
    return EntryKind::Link;
  }
  return name.ends_with('/') ? EntryKind::Folder : EntryKind::File;
}

// Reads what the table of contents says of the entry at `index` into `entry` and judges it before
// any of its data is read. Returns the problem, or empty.
std::string describe(zip_t* archive, zip_uint64_t index, Entry& entry) {
  entry.index = index;
  if (zip_stat_index(archive, index, ZIP_FL_ENC_RAW, &entry.stat) != 0) {
    return "its entry number " + std::to_string(index) + " cannot be read (" +
           errorText(zip_get_error(archive)) + ")";
  }
  entry.name = entry.stat.name == nullptr ? "" : entry.stat.name;
  if (std::string problem = entryNameProblem(entry.name); !problem.empty()) {
    return entry.label() + " " + problem;
  }
  if (entry.stat.encryption_method != ZIP_EM_NONE) return entry.label() + " is encrypted";
  // The method is judged from the table of contents, and the data is inflated here, never by
  // libzip: so what libzip was built with (bzip2 and LZMA on Linux, neither in the Windows build)
  // never tells the builds apart.
  const zip_uint16_t method = entry.stat.comp_method;
  if (method != ZIP_CM_STORE && method != ZIP_CM_DEFLATE) {
    return entry.label() + " is compressed with " + methodName(method) + " (method " +
           std::to_string(method) + "); only stored and deflated entries unpack on every unit";
  }
  entry.kind = kindOf(archive, index, entry.name);
  if (entry.kind == EntryKind::Link && entry.stat.size > kLongestLinkTarget) {
    return entry.label() + " is a link with a target of " + std::to_string(entry.stat.size) +
           " bytes";
  }
  return {};
}

// What an entry's data comes to, counted here: its length and CRC-32, and for a link the data
// itself (its target).
class DataTally {
 public:
  DataTally(const zip_stat_t& stat, bool keepData) : stat_(stat), keepData_(keepData) {}

  // Adds the next piece of data; false once there is more than the entry's size.
  bool add(const unsigned char* data, std::size_t length) {
    count_ += length;
    if (count_ > stat_.size) return false;
    crc_ = crc32(crc_, data, static_cast<uInt>(length));
    sha256_.add(data, length);
    if (keepData_) kept_.append(reinterpret_cast<const char*>(data), length);
    return true;
  }

  // What is wrong with the data, as a damage's cause; empty when nothing is.
  std::string problem() const {
    if (count_ > stat_.size)
      return "it holds more than its " + std::to_string(stat_.size) + " bytes";
    if (count_ < stat_.size) {
      return "only " + std::to_string(count_) + " of its " + std::to_string(stat_.size) +
             " bytes are there";
    }
    return crc_ == stat_.crc ? "" : "CRC error";
  }

  const std::string& data() const { return kept_; }
  std::string sha256() { return sha256_.hex(); }

 private:
  const zip_stat_t& stat_;
  bool keepData_;
  zip_uint64_t count_ = 0;
  uLong crc_ = crc32(0, nullptr, 0);
  Sha256 sha256_;
  std::string kept_;
};

struct Buffers {
  std::unique_ptr<unsigned char[]> in = std::make_unique_for_overwrite<unsigned char[]>(kReadSize);
  std::unique_ptr<unsigned char[]> out = std::make_unique_for_overwrite<unsigned char[]>(kReadSize);
};

// zlib's inflater for raw deflate data, as a zip entry holds it.
class Inflater {
 public:
  Inflater() { ready_ = inflateInit2(&stream_, -MAX_WBITS) == Z_OK; }
  ~Inflater() {
    if (ready_) inflateEnd(&stream_);
  }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;

  bool ready() const { return ready_; }
  z_stream& stream() { return stream_; }

 private:
  z_stream stream_{};
  bool ready_ = false;
};

std::string readFailure(zip_file_t* file) {
  return "is damaged (" + errorText(zip_file_get_error(file)) + ")";
}

// Reads the data of a stored entry. Returns the problem, or empty.
std::string readStored(zip_file_t* file, DataTally& tally, Buffers& buffers) {
  zip_int64_t count;
  while ((count = zip_fread(file, buffers.in.get(), kReadSize)) > 0) {
    if (!tally.add(buffers.in.get(), static_cast<std::size_t>(count))) return {};
  }
  return count < 0 ? readFailure(file) : "";
}

// Inflates the deflated data of an entry, which must end where the deflate stream says it ends.
// Returns the problem, or empty.
std::string readDeflated(zip_file_t* file, DataTally& tally, Buffers& buffers) {
  Inflater inflater;
  if (!inflater.ready()) return "cannot be read (out of memory)";
  z_stream& stream = inflater.stream();
  bool inputEnded = false;
  for (;;) {
    if (stream.avail_in == 0 && !inputEnded) {
      const zip_int64_t count = zip_fread(file, buffers.in.get(), kReadSize);
      if (count < 0) return readFailure(file);
      inputEnded = count == 0;
      stream.next_in = buffers.in.get();
      stream.avail_in = static_cast<uInt>(count);
    }
    stream.next_out = buffers.out.get();
    stream.avail_out = static_cast<uInt>(kReadSize);
    const int status = inflate(&stream, Z_NO_FLUSH);
    if (!tally.add(buffers.out.get(), kReadSize - stream.avail_out)) return {};
    if (status == Z_STREAM_END) return {};
    if (status == Z_BUF_ERROR && inputEnded) return "is damaged (its deflated data ends early)";
    if (status != Z_OK && status != Z_BUF_ERROR) {
      return "is damaged (" + std::string(stream.msg != nullptr ? stream.msg : "deflate error") +
             ")";
    }
  }
}

// Reads one entry's data to its end: libzip hands over the bytes as they lie in the archive, and
// they are inflated, counted and their CRC-32 taken here, whatever libzip does with an entry (it
// hands one whose compressed size is 0 over as empty, without a look at its size or CRC).
// Returns the problem, or empty; a link's target goes to `target`, the SHA-256 of the data to
// `sha256`.
std::string checkData(zip_t* archive, const Entry& entry, Buffers& buffers, std::string& target,
                      std::string& sha256) {
  OpenEntry file(zip_fopen_index(archive, entry.index, ZIP_FL_COMPRESSED));
  if (!file) {
    return entry.label() + " cannot be read (" + errorText(zip_get_error(archive)) + ")";
  }
  DataTally tally(entry.stat, entry.kind == EntryKind::Link);
  const std::string readProblem = entry.stat.comp_method == ZIP_CM_DEFLATE
                                      ? readDeflated(file.get(), tally, buffers)
                                      : readStored(file.get(), tally, buffers);
  if (!readProblem.empty()) return entry.label() + " " + readProblem;
  if (std::string problem = tally.problem(); !problem.empty()) {
    return entry.label() + " is damaged (" + problem + ")";
  }
  target = tally.data();
  sha256 = tally.sha256();
  return {};
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

  // First what the table of contents says of every entry, then every entry's data.
  const zip_int64_t count = zip_get_num_entries(archive.get(), 0);
  if (count <= 0) return damaged("it holds no files");
  std::vector<Entry> entries(static_cast<std::size_t>(count));
  ArchiveTree tree;
  for (Entry& entry : entries) {
    const auto index = static_cast<zip_uint64_t>(&entry - entries.data());
    if (std::string problem = describe(archive.get(), index, entry); !problem.empty())
      return damaged(std::move(problem));
    tree.add(entry.name, entry.kind);
  }
  if (!tree.holdsFile()) return damaged("it holds no files");
  if (std::string problem = tree.entryUnderLink(); !problem.empty())
    return damaged(std::move(problem));

  Buffers buffers;
  std::string target;
  std::string sha256;
  ArchiveCheck sound{true, {}, {}};
  for (const Entry& entry : entries) {
    if (std::string problem = checkData(archive.get(), entry, buffers, target, sha256);
        !problem.empty())
      return damaged(std::move(problem));
    if (entry.kind == EntryKind::File) sound.files.push_back({entry.name, sha256});
    if (entry.kind != EntryKind::Link) continue;
    if (std::string problem = tree.linkProblem(entry.name, target); !problem.empty())
      return damaged(entry.label() + " " + problem);
  }
  return sound;
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
