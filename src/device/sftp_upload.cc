#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <ios>
#include <iostream>
#include <system_error>

#include "device/ssh_link.h"

namespace provision {
namespace {

constexpr std::size_t kChunkSize = 10240;
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

  // After chunk `chunk` was written and the counted bytes reached `counted` (less than the size).
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
  if (std::filesystem::is_directory(path, error)) return -1;
  file.clear();
  file.open(path, std::ios::in | std::ios::binary | std::ios::ate);
  if (!file) return -1;
  std::int64_t size = file.tellg();
  file.seekg(0, std::ios::beg);
  if (size < 0 || !file) {
    file.close();
    return -1;
  }
  return size;
}

// Reads the next chunk; 0 means the end of the data.
std::size_t readChunk(std::ifstream& file, char* buffer) {
  file.read(buffer, kChunkSize);
  return static_cast<std::size_t>(file.gcount());
}

// Writes all `length` bytes; libssh2 may take a buffer in several calls (0 means "call again").
bool writeChunk(LIBSSH2_SFTP_HANDLE* remote, const char* data, std::size_t length) {
  while (length > 0) {
    ssize_t written = libssh2_sftp_write(remote, data, length);
    if (written < 0) return false;
    data += written;
    length -= static_cast<std::size_t>(written);
  }
  return true;
}

// Sends the file chunk by chunk, one write after the other. The counted bytes grow by a whole
// chunk each time, so the chunk that reads the last byte completes the upload.
int sendChunks(std::ifstream& local, LIBSSH2_SFTP_HANDLE* remote, std::int64_t fileSize,
               bool showProgress) {
  UploadProgress progress(showProgress, fileSize);
  char buffer[kChunkSize];
  std::int64_t counted = 0;
  for (int chunk = 0;; ++chunk) {
    std::size_t length = readChunk(local, buffer);
    // End of data before the size was reached: an empty file, or one that shrank meanwhile.
    if (length == 0) return kSshOk;
    if (!writeChunk(remote, buffer, length)) return kSshWriteFailed;
    counted += kChunkSize;
    if (counted >= fileSize) {
      progress.completed();
      return kSshOk;
    }
    progress.chunkSent(chunk, counted);
  }
}

}  // namespace

int SshLink::uploadFile(const std::string& localPath, const std::string& remotePath,
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
