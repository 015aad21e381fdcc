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

#include "device/request_channel.h"
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

// Write requests that go to the channel together, each head followed by its data, written in
// pieces as the channel takes them. libssh looks at the socket once per write call, so requests
// written in one call cost one look between them all.
class WriteBatch {
 public:
  WriteBatch() : block_(std::make_unique_for_overwrite<char[]>(kBlockSize)) {}

  bool pending() const { return written_ < size_; }
  // Whether another request of `length` bytes with a head of `headSize` fits: none is added once
  // the writing began.
  bool fits(std::size_t headSize, std::size_t length) const {
    return written_ == 0 && size_ + headSize + length <= kBlockSize;
  }
  bool empty() const { return size_ == 0; }

  // Where the data of the next request is read to, behind a head of `headSize` bytes.
  char* data(std::size_t headSize) { return block_.get() + size_ + headSize; }
  // Puts `head` before the `length` bytes just read; the request then belongs to the batch.
  void add(const std::string& head, std::size_t length) {
    std::memcpy(block_.get() + size_, head.data(), head.size());
    size_ += head.size() + length;
  }

  int writeSome(RequestChannel& channel) {
    const int io = channel.writeSome(block_.get(), size_, written_);
    if (!pending()) size_ = written_ = 0;
    return io;
  }

 private:
  static constexpr std::size_t kBlockSize =
      kWriteBatchRequests * (sftp::kMaxWriteHead + kWriteRequestSize);

  std::unique_ptr<char[]> block_;
  std::size_t size_ = 0;
  std::size_t written_ = 0;
};

// What one upload keeps while its requests are under way.
struct UploadRun {
  UploadRun(std::ifstream& localFile, RequestChannel& requestChannel, const std::string& fileHandle,
            std::int64_t fileSize, bool showProgress, UploadWindow& uploadWindow,
            DeviceWait& deviceWait)
      : local(localFile),
        channel(requestChannel),
        handle(fileHandle),
        window(uploadWindow),
        wait(deviceWait),
        progress(showProgress, fileSize),
        ledger(fileSize) {}

  std::ifstream& local;
  RequestChannel& channel;
  const std::string& handle;
  UploadWindow& window;
  DeviceWait& wait;
  UploadProgress progress;
  ChunkLedger ledger;
  RequestsInFlight inFlight;
  WriteBatch batch;
  std::int64_t sent = 0;
};

// The sending half: adds the next requests from the file to the batch while the window has room
// and the batch is not being written. kSshOk, or kSshLocalOpenFailed when the file cannot be
// read.
int queueRequests(UploadRun& run) {
  // The head's size does not depend on its numbers.
  const std::size_t headSize = sftp::writeHead(0, run.handle, 0, 0).size();
  while (!run.ledger.allRead()) {
    const std::int64_t room =
        static_cast<std::int64_t>(run.window.size()) - (run.sent - run.inFlight.acknowledged());
    if (room < static_cast<std::int64_t>(kWriteRequestSize)) return kSshOk;
    const std::size_t requested = run.ledger.nextRead();
    if (!run.batch.fits(headSize, requested)) return kSshOk;
    run.local.read(run.batch.data(headSize), static_cast<std::streamsize>(requested));
    const std::size_t length = static_cast<std::size_t>(run.local.gcount());
    // A failed read is no end of data: the device's copy would be cut.
    if (length < requested && run.local.bad()) return kSshLocalOpenFailed;
    run.ledger.read(requested, length);
    if (length == 0) return kSshOk;
    const std::uint32_t id = run.channel.newId();
    run.batch.add(sftp::writeHead(id, run.handle, static_cast<std::uint64_t>(run.sent),
                                  static_cast<std::uint32_t>(length)),
                  length);
    run.sent += static_cast<std::int64_t>(length);
    run.inFlight.sent(id, run.sent, UploadWindow::Clock::now());
  }
  return kSshOk;
}

// The acknowledging half: takes in what the server replied, counts the bytes acknowledged and
// shows their progress. `moved` tells whether anything arrived, `complete` whether the chunk that
// completes the upload was acknowledged. kSshOk, or kSshWriteFailed when the server refused a write
// or sent something that is no reply.
int takeReplies(UploadRun& run, bool& moved, bool& complete) {
  // Replies are read only between batches, so that the batch being written stays one block.
  const int io = run.channel.readSome();
  if (io < 0) return kSshWriteFailed;
  moved = io > 0;
  sftp::Reply reply;
  while (run.channel.nextReply(reply)) {
    if (!run.inFlight.done(reply.id)) continue;
    if (reply.type != sftp::kStatus || reply.status != sftp::kStatusOk) return kSshWriteFailed;
    if (run.inFlight.acknowledged() == run.ledger.acknowledgedBytes()) continue;
    run.wait.progressed();
    run.ledger.acknowledgedUpTo(run.inFlight.acknowledged());
    run.window.acknowledged(run.inFlight.acknowledged(), run.inFlight.acknowledgedSentAt(),
                            UploadWindow::Clock::now());
    complete = run.ledger.reportAcknowledged(run.progress);
    if (complete) return kSshOk;
  }
  // Something that is no reply: nothing more on the channel can be trusted.
  return run.channel.broken() ? kSshWriteFailed : kSshOk;
}

// Sends the file as write requests of kWriteRequestSize bytes, as many under way as the window
// allows: each acknowledgement makes room for a new request, and the requests that the room admits
// go to libssh in one batch. The progress text of a chunk is shown once every byte through it is
// acknowledged. Only the batch being written is held in memory.
// `wait` gives up when no request is acknowledged for its limit. After a failed write no further
// request is sent; those under way are let go.
int sendRequests(UploadRun& run) {
  for (;;) {
    const int queued = queueRequests(run);
    if (queued != kSshOk) return queued;
    // Nothing under way and nothing left to read: done. The last chunk may count only now that
    // the read found the end of the data (a device whose channel window takes one request at a
    // time acknowledged it before); a file that shrank meanwhile gets no closing text.
    if (run.batch.empty() && run.inFlight.empty() && run.ledger.allRead()) {
      run.ledger.reportAcknowledged(run.progress);
      return kSshOk;
    }

    bool moved = false;
    if (!run.batch.empty()) {
      const int io = run.batch.writeSome(run.channel);
      if (io < 0) return kSshWriteFailed;
      moved = io > 0;
    } else {
      bool complete = false;
      if (takeReplies(run, moved, complete) != kSshOk) return kSshWriteFailed;
      if (complete) return kSshOk;
    }
    if (moved || run.wait.await()) continue;
    run.progress.interrupted();
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

int SshLink::sendFile(const std::string& localPath, const std::string& remotePath,
                      bool showProgress, const std::string& step) {
  if (stalled_) return kSshStalled;
  if (!isOpen()) return kSshRemoteOpenFailed;

  std::int64_t fileSize = openLocalFile(localFile_, localPath);
  if (fileSize < 0) return kSshLocalOpenFailed;

  RequestChannel channel(sftp_, sftpReplies_, sftpRequestId_);

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
  // write.
  const std::uint32_t channelWindow = ssh_channel_window_size(sftp_);
  const UploadWindow::Clock::time_point sendStart = UploadWindow::Clock::now();
  UploadWindow window(channelWindow, sendStart - openStart, sendStart);
  DeviceWait sending = waitFor(waits_.transfer, DeviceWait::Progress::Reported);
  UploadRun run(localFile_, channel, opened.handle, fileSize, showProgress, window, sending);
  const int status = sendRequests(run);
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
