#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <filesystem>
#include <ios>
#include <iostream>
#include <memory>
#include <system_error>

#include "device/sftp_protocol.h"
#include "device/ssh_link.h"
#include "device/upload_window.h"
#include "log/run_record.h"
#include "log/text.h"
#include "workspace/filesystem.h"

namespace provision {
namespace {

constexpr std::size_t kChunkSize = 10240;
// Progress is shown for chunks 0, 20, 40, ... (every 204800 bytes).
constexpr int kProgressInterval = 20;
constexpr std::uint32_t kRemoteOpenFlags =
    sftp::kOpenWrite | sftp::kOpenCreate | sftp::kOpenTruncate;
constexpr std::uint32_t kRemoteFileMode = 0644;
// What one read from the channel takes: the server's replies are a few dozen bytes each.
constexpr std::size_t kReplyReadSize = 4096;

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
  // How much the next read may take: a request's worth, up to the limit.
  std::size_t nextRead() const {
    return static_cast<std::size_t>(std::min<std::int64_t>(
        static_cast<std::int64_t>(kWriteRequestSize), readLimit_ - bytesRead_));
  }
  // A read of `requested` bytes gave `length`; less means the data ended.
  void read(std::size_t requested, std::size_t length) {
    bytesRead_ += static_cast<std::int64_t>(length);
    if (length < requested) dataEnded_ = true;
  }
  void acknowledgedUpTo(std::int64_t offset) { acknowledged_ = offset; }
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

  // A chunk counts once all its bytes were read; the last one of the data whatever its length.
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

// How a step of the exchange with the SFTP server went.
enum class Exchange { Done, Broken, Stalled };

// The upload's side of the SFTP channel: requests written whole, replies read and matched by id.
// Replies to requests that an earlier failed upload let go are skipped.
class RequestChannel {
 public:
  RequestChannel(LIBSSH2_CHANNEL* channel, sftp::ReplyReader& replies, std::uint32_t& nextId)
      : channel_(channel), replies_(replies), nextId_(nextId) {}

  std::uint32_t newId() { return nextId_++; }

  // One write of what remains of `data`. 1: something was written, 0: the channel would block,
  // -1: it failed.
  int writeSome(const char* data, std::size_t size, std::size_t& written) {
    const ssize_t count = libssh2_channel_write_ex(channel_, 0, data + written, size - written);
    if (count == LIBSSH2_ERROR_EAGAIN) return 0;
    if (count <= 0) return -1;
    written += static_cast<std::size_t>(count);
    return 1;
  }

  // One read of what the server sent. 1: replies may have arrived, 0: nothing yet, -1: the channel
  // ended or failed.
  int readSome() {
    char buffer[kReplyReadSize];
    const ssize_t count = libssh2_channel_read_ex(channel_, 0, buffer, sizeof buffer);
    if (count == LIBSSH2_ERROR_EAGAIN) return 0;
    if (count <= 0) return -1;
    replies_.append(buffer, static_cast<std::size_t>(count));
    return 1;
  }

  // The next whole reply that arrived, if any.
  bool nextReply(sftp::Reply& reply) { return replies_.next(reply); }
  bool broken() const { return replies_.broken(); }

  // Writes `request` whole and waits for the reply with `id`.
  Exchange exchange(const std::string& request, std::uint32_t id, DeviceWait& wait,
                    sftp::Reply& reply) {
    std::size_t written = 0;
    while (written < request.size()) {
      const int io = writeSome(request.data(), request.size(), written);
      if (io < 0) return Exchange::Broken;
      if (io == 0 && !wait.await()) return Exchange::Stalled;
    }
    for (;;) {
      while (nextReply(reply)) {
        if (reply.id == id) return Exchange::Done;
      }
      if (broken()) return Exchange::Broken;
      const int io = readSome();
      if (io < 0) return Exchange::Broken;
      if (io == 0 && !wait.await()) return Exchange::Stalled;
    }
  }

 private:
  LIBSSH2_CHANNEL* channel_;
  sftp::ReplyReader& replies_;
  std::uint32_t& nextId_;
};

// The write requests under way, oldest first. The device may acknowledge them in any order; the
// upload counts the bytes up to the first request still open.
class RequestsInFlight {
 public:
  using Clock = UploadWindow::Clock;

  void sent(std::uint32_t id, std::int64_t end, Clock::time_point at) {
    requests_.push_back({id, end, at, false});
  }

  // Marks the request `id` done; false when it is none of these.
  bool done(std::uint32_t id) {
    for (Request& request : requests_) {
      if (request.id != id) continue;
      request.done = true;
      while (!requests_.empty() && requests_.front().done) {
        acknowledged_ = requests_.front().end;
        acknowledgedSentAt_ = requests_.front().sentAt;
        requests_.pop_front();
      }
      return true;
    }
    return false;
  }

  bool empty() const { return requests_.empty(); }
  // The end of the bytes that the device acknowledged without a gap, and when the last request of
  // them was written.
  std::int64_t acknowledged() const { return acknowledged_; }
  Clock::time_point acknowledgedSentAt() const { return acknowledgedSentAt_; }

 private:
  struct Request {
    std::uint32_t id;
    std::int64_t end;
    Clock::time_point sentAt;
    bool done;
  };
  std::deque<Request> requests_;
  std::int64_t acknowledged_ = 0;
  Clock::time_point acknowledgedSentAt_;
};

// One write request: its head and its data in one block, written to the channel in pieces as the
// channel takes them.
class WriteRequest {
 public:
  WriteRequest() : block_(std::make_unique_for_overwrite<char[]>(kBlockSize)) {}

  // Where the data of the next request is read to.
  char* data() { return block_.get() + sftp::kMaxWriteHead; }

  // Puts the head before `length` bytes of data; the request is then to be written.
  void prepare(const std::string& head, std::size_t length) {
    start_ = sftp::kMaxWriteHead - head.size();
    std::memcpy(block_.get() + start_, head.data(), head.size());
    size_ = head.size() + length;
    written_ = 0;
  }

  bool pending() const { return written_ < size_; }
  int writeSome(RequestChannel& channel) {
    return channel.writeSome(block_.get() + start_, size_, written_);
  }

 private:
  static constexpr std::size_t kBlockSize = sftp::kMaxWriteHead + kWriteRequestSize;

  std::unique_ptr<char[]> block_;
  std::size_t start_ = 0;
  std::size_t size_ = 0;
  std::size_t written_ = 0;
};

// Sends the file as write requests of kWriteRequestSize bytes, as many under way as the window
// allows: each acknowledgement makes room for a new request. The progress text of a chunk is shown
// once every byte through it is acknowledged. Only the request being written is held in memory.
// `wait` gives up when no request is acknowledged for its limit. After a failed write no further
// request is sent; those under way are let go.
int sendRequests(std::ifstream& local, RequestChannel& channel, const std::string& handle,
                 std::int64_t fileSize, bool showProgress, UploadWindow& window, DeviceWait& wait) {
  UploadProgress progress(showProgress, fileSize);
  ChunkLedger ledger(fileSize);
  RequestsInFlight inFlight;
  WriteRequest request;
  std::int64_t sent = 0;
  for (;;) {
    // The next request, when the last one is written whole and the window has room.
    if (!request.pending() && !ledger.allRead() &&
        sent - inFlight.acknowledged() + static_cast<std::int64_t>(kWriteRequestSize) <=
            static_cast<std::int64_t>(window.size())) {
      const std::size_t requested = ledger.nextRead();
      local.read(request.data(), static_cast<std::streamsize>(requested));
      const std::size_t length = static_cast<std::size_t>(local.gcount());
      // A failed read is no end of data: the device's copy would be cut.
      if (length < requested && local.bad()) return kSshLocalOpenFailed;
      ledger.read(requested, length);
      if (length > 0) {
        const std::uint32_t id = channel.newId();
        request.prepare(sftp::writeHead(id, handle, static_cast<std::uint64_t>(sent),
                                        static_cast<std::uint32_t>(length)),
                        length);
        sent += static_cast<std::int64_t>(length);
        inFlight.sent(id, sent, UploadWindow::Clock::now());
      }
    }
    // Nothing under way and nothing left to read: done. The last chunk may count only now that
    // the read found the end of the data (a device whose channel window takes one request at a
    // time acknowledged it before); a file that shrank meanwhile gets no closing text.
    if (!request.pending() && inFlight.empty() && ledger.allRead()) {
      ledger.reportAcknowledged(progress);
      return kSshOk;
    }

    bool moved = false;
    if (request.pending()) {
      const int io = request.writeSome(channel);
      if (io < 0) return kSshWriteFailed;
      moved = io > 0;
    } else {
      // Replies are read only between requests: libssh2 must not send anything of its own while
      // part of a request waits in its buffer.
      const int io = channel.readSome();
      if (io < 0) return kSshWriteFailed;
      moved = io > 0;
      sftp::Reply reply;
      while (channel.nextReply(reply)) {
        if (!inFlight.done(reply.id)) continue;
        if (reply.type != sftp::kStatus || reply.status != sftp::kStatusOk) return kSshWriteFailed;
        if (inFlight.acknowledged() == ledger.acknowledgedBytes()) continue;
        wait.progressed();
        ledger.acknowledgedUpTo(inFlight.acknowledged());
        window.acknowledged(inFlight.acknowledged(), inFlight.acknowledgedSentAt(),
                            UploadWindow::Clock::now());
        if (ledger.reportAcknowledged(progress)) return kSshOk;
      }
      // Something that is no reply: nothing more on the channel can be trusted.
      if (channel.broken()) return kSshWriteFailed;
    }
    if (moved || wait.await()) continue;
    progress.interrupted();
    return kSshStalled;
  }
}

}  // namespace

int SshLink::uploadFile(const std::string& localPath, const std::string& remotePath,
                        bool showProgress, const std::string& temporaryPath) {
  const std::string target = temporaryPath.empty() ? remotePath : temporaryPath;
  const int status =
      sendFile(localPath, target, showProgress, "the upload of " + fileNameOf(remotePath));
  recordUpload(localPath, remotePath, status);
  return status;
}

int SshLink::renameFile(const std::string& from, const std::string& to) {
  const std::string step = "the rename of " + fileNameOf(from) + " to " + fileNameOf(to);
  std::uint32_t reply = sftp::kStatusUnsupported;
  int status = kSshOk;
  if (!posixRenameRefused_) {
    const std::uint32_t id = sftpRequestId_++;
    status = requestStatus(step, sftp::posixRenameRequest(id, from, to), id, reply);
    if (status == kSshOk && reply == sftp::kStatusUnsupported) posixRenameRefused_ = true;
  }
  if (status == kSshOk && reply == sftp::kStatusUnsupported) {
    // The protocol's own rename refuses an existing target: the old file goes first.
    removeFile(to);
    const std::uint32_t id = sftpRequestId_++;
    status = requestStatus(step, sftp::renameRequest(id, from, to), id, reply);
  }
  if (status == kSshOk && reply != sftp::kStatusOk) status = kSshRenameFailed;
  recordRename(from, to, status);
  return status;
}

bool SshLink::removeFile(const std::string& path) {
  const std::uint32_t id = sftpRequestId_++;
  std::uint32_t reply = sftp::kStatusOk;
  const int status =
      requestStatus("the removal of " + fileNameOf(path), sftp::removeRequest(id, path), id, reply);
  return status == kSshOk && (reply == sftp::kStatusOk || reply == sftp::kStatusNoSuchFile);
}

int SshLink::requestStatus(const std::string& step, const std::string& request, std::uint32_t id,
                           std::uint32_t& status) {
  if (stalled_) return kSshStalled;
  if (!isOpen()) return kSshRemoteOpenFailed;
  RequestChannel channel(libssh2_sftp_get_channel(sftp_), sftpReplies_, sftpRequestId_);
  DeviceWait wait = waitFor(waits_.transfer);
  sftp::Reply reply;
  switch (channel.exchange(request, id, wait, reply)) {
    case Exchange::Done:
      if (reply.type != sftp::kStatus) return kSshRemoteOpenFailed;
      status = reply.status;
      return kSshOk;
    case Exchange::Stalled:
      return stalled(step, waits_.transfer);
    case Exchange::Broken:
      break;
  }
  return kSshRemoteOpenFailed;
}

int SshLink::sendFile(const std::string& localPath, const std::string& remotePath,
                      bool showProgress, const std::string& step) {
  if (stalled_) return kSshStalled;
  if (!isOpen()) return kSshRemoteOpenFailed;

  std::int64_t fileSize = openLocalFile(localFile_, localPath);
  if (fileSize < 0) return kSshLocalOpenFailed;

  LIBSSH2_CHANNEL* sftpChannel = libssh2_sftp_get_channel(sftp_);
  RequestChannel channel(sftpChannel, sftpReplies_, sftpRequestId_);

  // The open takes one round trip, the first measure of the link's.
  DeviceWait opening = waitFor(waits_.transfer);
  const UploadWindow::Clock::time_point openStart = UploadWindow::Clock::now();
  const std::uint32_t openId = channel.newId();
  sftp::Reply opened;
  const Exchange open = channel.exchange(
      sftp::openRequest(openId, remotePath, kRemoteOpenFlags, kRemoteFileMode | sftp::kRegularFile),
      openId, opening, opened);
  if (open != Exchange::Done || opened.type != sftp::kHandle) {
    localFile_.close();
    return open == Exchange::Stalled ? stalled(step, waits_.transfer) : kSshRemoteOpenFailed;
  }

  // How much the device's SSH server admits on the channel: its window now, before the first
  // write (libssh2 keeps the initial size only for some channels).
  unsigned long initialWindow = 0;
  const unsigned long channelWindow = libssh2_channel_window_write_ex(sftpChannel, &initialWindow);
  const UploadWindow::Clock::time_point sendStart = UploadWindow::Clock::now();
  UploadWindow window(std::max(channelWindow, initialWindow), sendStart - openStart, sendStart);
  DeviceWait sending = waitFor(waits_.transfer, DeviceWait::Progress::Reported);
  const int status =
      sendRequests(localFile_, channel, opened.handle, fileSize, showProgress, window, sending);
  localFile_.close();
  if (status == kSshStalled) return stalled(step, waits_.transfer);

  // Closing also waits out the replies to requests that a failed upload let go.
  DeviceWait closing = waitFor(waits_.transfer);
  const std::uint32_t closeId = channel.newId();
  sftp::Reply closed;
  if (channel.exchange(sftp::closeRequest(closeId, opened.handle), closeId, closing, closed) ==
      Exchange::Stalled)
    return stalled(step, waits_.transfer);
  return status;
}

}  // namespace provision
