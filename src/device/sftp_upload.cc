#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <ios>
#include <iostream>
#include <memory>
#include <system_error>

#include "device/ssh_link.h"
#include "log/run_record.h"
#include "workspace/filesystem.h"

namespace provision {
namespace {

constexpr std::size_t kChunkSize = 10240;
// libssh2 cuts the data of a write call into SFTP write requests of at most this size.
constexpr std::size_t kWriteRequestSize = 30000;
// About 1.2 MiB of unacknowledged data in flight keeps the link busy up to round trips of several
// milliseconds. Larger windows cost the device's SSH server more work and come close to its
// 2 MiB channel window. A whole number of requests, so that each acknowledgement makes room for
// one full request.
constexpr std::size_t kWindowSize = 42 * kWriteRequestSize;
// Progress is shown for chunks 0, 20, 40, ... (every 204800 bytes).
constexpr int kProgressInterval = 20;
constexpr unsigned long kRemoteOpenFlags =
    LIBSSH2_FXF_WRITE | LIBSSH2_FXF_CREAT | LIBSSH2_FXF_TRUNC;
constexpr long kRemoteFileMode = 0644;

// The progress text of one upload on standard output: "\rsent: NN.NN%" that the next text
// overwrites, and "\rsent: 100.00%" with a line end when the upload is complete. Standard
// output's number format is set for the upload and put back when it ends, on every path.
class UploadProgress {
 public:
  UploadProgress(bool enabled, std::int64_t fileSize) : enabled_(enabled), fileSize_(fileSize) {
    if (!enabled_) return;
    savedFlags_ = std::cout.flags();
    savedPrecision_ = std::cout.precision();
    std::cout << std::fixed;
    std::cout.precision(2);
  }
  ~UploadProgress() {
    if (!enabled_) return;
    std::cout.flags(savedFlags_);
    std::cout.precision(savedPrecision_);
  }
  UploadProgress(const UploadProgress&) = delete;
  UploadProgress& operator=(const UploadProgress&) = delete;

  // After chunk `chunk` was acknowledged and the counted bytes reached `counted` (less than the
  // size).
  void chunkSent(int chunk, std::int64_t counted) {
    if (!enabled_ || chunk % kProgressInterval != 0) return;
    // Single precision, multiplication first.
    float percent = static_cast<float>(counted) * 100.0f / static_cast<float>(fileSize_);
    std::cout << "\rsent: " << percent << "%" << std::flush;
  }

  void completed() {
    if (!enabled_) return;
    std::cout << "\rsent: "
              << "100.00%" << std::endl;
  }

 private:
  bool enabled_;
  std::int64_t fileSize_;
  std::ios_base::fmtflags savedFlags_{};
  std::streamsize savedPrecision_ = 0;
};

// Opens `path` for binary reading and returns its size, or -1 when it is not a readable file.
std::int64_t openLocalFile(std::ifstream& file, const std::string& path) {
  std::error_code error;
  const std::filesystem::path localPath = toFsPath(path);
  if (std::filesystem::is_directory(localPath, error)) return -1;
  file.clear();
  file.open(localPath, std::ios::in | std::ios::binary | std::ios::ate);
  if (!file) return -1;
  std::int64_t size = file.tellg();
  file.seekg(0, std::ios::beg);
  if (size < 0 || !file) {
    file.close();
    return -1;
  }
  return size;
}

// Reads the next chunk into `buffer`; 0 means the end of the data.
std::size_t readChunk(std::ifstream& file, char* buffer) {
  file.read(buffer, kChunkSize);
  return static_cast<std::size_t>(file.gcount());
}

// The bytes read from the file that the device has not acknowledged yet, oldest first, in one
// contiguous block: libssh2 is handed them again, unchanged, on every write call.
class SendBuffer {
 public:
  SendBuffer() : data_(std::make_unique_for_overwrite<char[]>(kCapacity)) {}

  // Where the next chunk goes; room for kChunkSize bytes, as long as fewer than kWindowSize
  // bytes are pending.
  char* chunkSpace() {
    if (end_ + kChunkSize > kCapacity) {
      std::memmove(data_.get(), data_.get() + begin_, end_ - begin_);
      end_ -= begin_;
      begin_ = 0;
    }
    return data_.get() + end_;
  }
  void appended(std::size_t length) { end_ += length; }
  void acknowledged(std::size_t length) { begin_ += length; }

  const char* pending() const { return data_.get() + begin_; }
  std::size_t pendingSize() const { return end_ - begin_; }

 private:
  // A window and a half: the pending bytes move to the front once per half window sent, which
  // copies each byte about twice and keeps the memory small.
  static constexpr std::size_t kCapacity = kWindowSize + kWindowSize / 2;
  static_assert(kCapacity >= kWindowSize + 2 * kChunkSize);

  std::unique_ptr<char[]> data_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
};

// Which chunks were read and how much of them the device acknowledged. A chunk counts as sent,
// with its progress text, only when every byte through it is acknowledged.
class ChunkLedger {
 public:
  explicit ChunkLedger(std::int64_t fileSize) : fileSize_(fileSize) {}

  // Whether no further chunk is to be read: the chunk that reaches the size was read (the
  // counted bytes grow by a whole chunk each, so a file that grew is not read past it), or the
  // data ended early (an empty file, or one that shrank meanwhile).
  bool allRead() const {
    return dataEnded_ || (chunksRead_ > 0 && chunksRead_ * kChunkBytes >= fileSize_);
  }
  void chunkRead(std::size_t length) {
    ++chunksRead_;
    bytesRead_ += static_cast<std::int64_t>(length);
  }
  void dataEnded() { dataEnded_ = true; }
  void acknowledged(std::size_t length) { acknowledged_ += static_cast<std::int64_t>(length); }

  // Shows the progress of every chunk acknowledged since the last call; true once the chunk
  // that completes the upload was acknowledged.
  bool reportAcknowledged(UploadProgress& progress) {
    while (reported_ < chunksRead_ && acknowledged_ >= chunkEnd(reported_)) {
      std::int64_t counted = (reported_ + 1) * kChunkBytes;
      if (counted >= fileSize_) {
        progress.completed();
        return true;
      }
      progress.chunkSent(static_cast<int>(reported_), counted);
      ++reported_;
    }
    return false;
  }

 private:
  static constexpr std::int64_t kChunkBytes = static_cast<std::int64_t>(kChunkSize);

  // Every chunk but the last one read is whole.
  std::int64_t chunkEnd(std::int64_t chunk) const {
    return std::min((chunk + 1) * kChunkBytes, bytesRead_);
  }

  std::int64_t fileSize_;
  std::int64_t chunksRead_ = 0;
  std::int64_t bytesRead_ = 0;
  std::int64_t acknowledged_ = 0;
  std::int64_t reported_ = 0;
  bool dataEnded_ = false;
};

// Reads chunks until a window's worth of bytes is pending or nothing more is to be read. False
// when reading the local file failed: that is no end of data, and the device's copy would be cut.
bool fillWindow(std::ifstream& local, SendBuffer& buffer, ChunkLedger& ledger) {
  while (!ledger.allRead() && buffer.pendingSize() < kWindowSize) {
    std::size_t length = readChunk(local, buffer.chunkSpace());
    if (length == 0) {
      if (local.bad()) return false;
      ledger.dataEnded();
      return true;
    }
    buffer.appended(length);
    ledger.chunkRead(length);
  }
  return true;
}

// Sends the file through a sliding window. Each libssh2_sftp_write call passes the pending
// bytes from the first unacknowledged one, up to the window size: libssh2 turns the part it has
// not seen yet into write requests, sends them, and returns after the next acknowledgement with
// the newly acknowledged count (0: call again). Once the window is full, every acknowledged
// request makes room for exactly one new one.
int sendChunks(std::ifstream& local, LIBSSH2_SFTP_HANDLE* remote, std::int64_t fileSize,
               bool showProgress) {
  UploadProgress progress(showProgress, fileSize);
  SendBuffer buffer;
  ChunkLedger ledger(fileSize);
  for (;;) {
    if (!fillWindow(local, buffer, ledger)) return kSshLocalOpenFailed;
    // Nothing pending and nothing left to read: an empty file, or one that shrank meanwhile.
    if (buffer.pendingSize() == 0) return kSshOk;
    std::size_t offered = std::min(buffer.pendingSize(), kWindowSize);
    ssize_t acknowledged = libssh2_sftp_write(remote, buffer.pending(), offered);
    if (acknowledged < 0) return kSshWriteFailed;
    buffer.acknowledged(static_cast<std::size_t>(acknowledged));
    ledger.acknowledged(static_cast<std::size_t>(acknowledged));
    if (ledger.reportAcknowledged(progress)) return kSshOk;
  }
}

}  // namespace

int SshLink::uploadFile(const std::string& localPath, const std::string& remotePath,
                        bool showProgress) {
  const int status = sendFile(localPath, remotePath, showProgress);
  recordUpload(localPath, remotePath, status);
  return status;
}

int SshLink::sendFile(const std::string& localPath, const std::string& remotePath,
                      bool showProgress) {
  if (!isOpen()) return kSshRemoteOpenFailed;

  std::int64_t fileSize = openLocalFile(localFile_, localPath);
  if (fileSize < 0) return kSshLocalOpenFailed;

  remoteFile_ =
      libssh2_sftp_open_ex(sftp_, remotePath.data(), static_cast<unsigned>(remotePath.size()),
                           kRemoteOpenFlags, kRemoteFileMode, LIBSSH2_SFTP_OPENFILE);
  if (remoteFile_ == nullptr) {
    localFile_.close();
    return kSshRemoteOpenFailed;
  }

  int status = sendChunks(localFile_, remoteFile_, fileSize, showProgress);
  libssh2_sftp_close_handle(remoteFile_);
  remoteFile_ = nullptr;
  localFile_.close();
  return status;
}

}  // namespace provision
