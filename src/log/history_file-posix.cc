// The unit history's file on POSIX systems: O_APPEND makes the write land at the end of the file,
// and an fcntl() record lock, which NFS and SMB mounts pass on to the server, keeps the writers of
// several computers from writing at the same time. The lock goes with the descriptor.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <thread>

#include "log/history_file.h"

namespace provision {
namespace {

constexpr auto kLockWait = std::chrono::seconds(5);
constexpr auto kLockPoll = std::chrono::milliseconds(10);

enum class Lock { Held, Busy, Unsupported };

// Locks the whole file for writing, waiting up to kLockWait for another holder to let go.
Lock lockWhole(int fd) {
  struct flock whole {};
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;
  const auto deadline = std::chrono::steady_clock::now() + kLockWait;
  while (::fcntl(fd, F_SETLK, &whole) != 0) {
    if (errno != EACCES && errno != EAGAIN && errno != EINTR) return Lock::Unsupported;
    if (std::chrono::steady_clock::now() >= deadline) return Lock::Busy;
    std::this_thread::sleep_for(kLockPoll);
  }
  return Lock::Held;
}

// Closes the descriptor, which lets go of its lock.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

bool appendToSharedFile(const std::string& path, const std::string& head, const std::string& text) {
  const Descriptor file(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666));
  if (file.get() < 0) return false;
  if (lockWhole(file.get()) == Lock::Busy) return false;
  struct stat status {};
  if (::fstat(file.get(), &status) != 0) return false;
  const std::string bytes = status.st_size == 0 ? head + text : text;
  return ::write(file.get(), bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

std::string stationName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

}  // namespace provision
