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
#include "device/upload_window.h"
#include "workspace/filesystem.h"

namespace provision {
namespace {

constexpr std::size_t kChunkSize = 10240;
// The file is read this many chunks at a time: fewer, larger reads.
constexpr std::size_t kReadSize = 12 * kChunkSize;
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
    lineOpen_ = true;
  }

  void completed() {
    if (!enabled_) return;
    std::cout << "\rsent: "
              << "100.00%" << std::endl;
    lineOpen_ = false;
  }

  // Ends a progress text that is still open, so that what follows starts on a line of its own.
  void interrupted() {
    if (!lineOpen_) return;
    std::cout << std::endl;
    lineOpen_ = false;
  }

 private:
  bool enabled_;
  std::int64_t fileSize_;
  std::ios_base::fmtflags savedFlags_{};
  std::streamsize savedPrecision_ = 0;
  bool lineOpen_ = false;
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

// The bytes read from the file that the device has not acknowledged yet, oldest first, in one
// contiguous block: libssh2 is handed them again, unchanged, on every write call.
class SendBuffer {
 public:
  // Room for the largest window the upload may use; only as much of it is touched as the window
  // in use needs.
  explicit SendBuffer(std::size_t maxWindow)
      : capacity_(limitFor(maxWindow)), data_(std::make_unique_for_overwrite<char[]>(capacity_)) {}

  // Where the next read goes, with room for kReadSize bytes, while `window` bytes are in use.
  char* readSpace(std::size_t window) {
    if (end_ + kReadSize > std::min(capacity_, limitFor(window))) {
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
  // A window and a half and a read: the pending bytes move to the front once per half window
  // sent, which copies each byte about twice and keeps the memory small.
  static std::size_t limitFor(std::size_t window) { return window + window / 2 + kReadSize; }

  std::size_t capacity_;
  std::unique_ptr<char[]> data_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
};

// Which chunks were read and how much of them the device acknowledged. A chunk counts as sent,
// with its progress text, only when every byte through it is acknowledged.
class ChunkLedger {
 public:
  explicit ChunkLedger(std::int64_t fileSize)
      : fileSize_(fileSize),
        // Up to the chunk that reaches the size (a file that grew is not read past it), and at
        // least one chunk, whose read tells an empty file.
        readLimit_(std::max<std::int64_t>(1, (fileSize + kChunkBytes - 1) / kChunkBytes) *
                   kChunkBytes) {}

  // Whether nothing more is to be read: the limit was reached, or the data ended early (an empty
  // file, or one that shrank meanwhile).
  bool allRead() const { return dataEnded_ || bytesRead_ >= readLimit_; }
  // How much the next read may take: whole chunks, up to the limit.
  std::size_t nextRead() const {
    return static_cast<std::size_t>(
        std::min<std::int64_t>(static_cast<std::int64_t>(kReadSize), readLimit_ - bytesRead_));
  }
  // A read of `requested` bytes gave `length`; less means the data ended.
  void read(std::size_t requested, std::size_t length) {
    bytesRead_ += static_cast<std::int64_t>(length);
    if (length < requested) dataEnded_ = true;
  }
  void acknowledged(std::size_t length) { acknowledged_ += static_cast<std::int64_t>(length); }
  std::int64_t acknowledgedBytes() const { return acknowledged_; }

  // Shows the progress of every chunk acknowledged since the last call; true once the chunk
  // that completes the upload was acknowledged.
  bool reportAcknowledged(UploadProgress& progress) {
    while (reported_ < chunksRead() && acknowledged_ >= chunkEnd(reported_)) {
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

  // Reads take whole chunks; only the last chunk of the data may be partial.
  std::int64_t chunksRead() const {
    return allRead() ? (bytesRead_ + kChunkBytes - 1) / kChunkBytes : bytesRead_ / kChunkBytes;
  }
  std::int64_t chunkEnd(std::int64_t chunk) const {
    return std::min((chunk + 1) * kChunkBytes, bytesRead_);
  }

  std::int64_t fileSize_;
  std::int64_t readLimit_;
  std::int64_t bytesRead_ = 0;
  std::int64_t acknowledged_ = 0;
  std::int64_t reported_ = 0;
  bool dataEnded_ = false;
};

// Reads until a window's worth of bytes is pending or nothing more is to be read. False when
// reading the local file failed: that is no end of data, and the device's copy would be cut.
bool fillWindow(std::ifstream& local, std::size_t window, SendBuffer& buffer, ChunkLedger& ledger) {
  while (!ledger.allRead() && buffer.pendingSize() < window) {
    const std::size_t requested = ledger.nextRead();
    local.read(buffer.readSpace(window), static_cast<std::streamsize>(requested));
    const std::size_t length = static_cast<std::size_t>(local.gcount());
    if (length < requested && local.bad()) return false;
    buffer.appended(length);
    ledger.read(requested, length);
  }
  return true;
}

// Sends the file through a sliding window. Each libssh2_sftp_write call passes the pending
// bytes from the first unacknowledged one, up to the window size: libssh2 turns the part it has
// not seen yet into write requests, sends them, and returns with the newly acknowledged count once
// an acknowledgement arrived (0: call again), or answers that it would block. Once the window is
// full, every acknowledged request makes room for one new one. `wait` gives up when no request is
// acknowledged for its limit.
int sendChunks(std::ifstream& local, LIBSSH2_SFTP_HANDLE* remote, std::int64_t fileSize,
               bool showProgress, UploadWindow& window, DeviceWait& wait) {
  UploadProgress progress(showProgress, fileSize);
  SendBuffer buffer(window.maxSize());
  ChunkLedger ledger(fileSize);
  for (;;) {
    if (!fillWindow(local, window.size(), buffer, ledger)) return kSshLocalOpenFailed;
    // Nothing pending and nothing left to read: an empty file, or one that shrank meanwhile.
    if (buffer.pendingSize() == 0) return kSshOk;
    const std::size_t offered = std::min(buffer.pendingSize(), window.size());
    window.offered(ledger.acknowledgedBytes() + static_cast<std::int64_t>(offered),
                   UploadWindow::Clock::now());
    ssize_t acknowledged = libssh2_sftp_write(remote, buffer.pending(), offered);
    if (acknowledged == LIBSSH2_ERROR_EAGAIN) {
      if (wait.await()) continue;
      progress.interrupted();
      return kSshStalled;
    }
    if (acknowledged < 0) return kSshWriteFailed;
    if (acknowledged == 0) continue;
    wait.progressed();
    buffer.acknowledged(static_cast<std::size_t>(acknowledged));
    ledger.acknowledged(static_cast<std::size_t>(acknowledged));
    window.acknowledged(ledger.acknowledgedBytes(), UploadWindow::Clock::now());
    if (ledger.reportAcknowledged(progress)) return kSshOk;
  }
}

std::string fileNameOf(const std::string& remotePath) {
  return remotePath.substr(remotePath.rfind('/') + 1);
}

}  // namespace

int SshLink::uploadFile(const std::string& localPath, const std::string& remotePath,
                        bool showProgress) {
  if (stalled_) return kSshStalled;
  if (!isOpen()) return kSshRemoteOpenFailed;

  std::int64_t fileSize = openLocalFile(localFile_, localPath);
  if (fileSize < 0) return kSshLocalOpenFailed;

  const std::string step = "the upload of " + fileNameOf(remotePath);
  DeviceWait opening = waitFor(waits_.transfer);
  const UploadWindow::Clock::time_point openStart = UploadWindow::Clock::now();
  remoteFile_ = opening.until([&] {
    return libssh2_sftp_open_ex(sftp_, remotePath.data(), static_cast<unsigned>(remotePath.size()),
                                kRemoteOpenFlags, kRemoteFileMode, LIBSSH2_SFTP_OPENFILE);
  });
  if (remoteFile_ == nullptr) {
    localFile_.close();
    return opening.expired() ? stalled(step, waits_.transfer) : kSshRemoteOpenFailed;
  }

  // The open took one round trip. How much the device's SSH server admits on the channel: its
  // window now, before the first write (libssh2 keeps the initial size only for some channels).
  unsigned long initialWindow = 0;
  const unsigned long channelWindow =
      libssh2_channel_window_write_ex(libssh2_sftp_get_channel(sftp_), &initialWindow);
  UploadWindow window(std::max(channelWindow, initialWindow),
                      UploadWindow::Clock::now() - openStart);
  DeviceWait sending = waitFor(waits_.transfer, DeviceWait::Progress::Reported);
  int status = sendChunks(localFile_, remoteFile_, fileSize, showProgress, window, sending);
  localFile_.close();
  if (status == kSshStalled) return stalled(step, waits_.transfer);

  DeviceWait closing = waitFor(waits_.transfer);
  closing.until([&] { return libssh2_sftp_close_handle(remoteFile_); });
  if (closing.expired()) return stalled(step, waits_.transfer);
  remoteFile_ = nullptr;
  return status;
}

}  // namespace provision
