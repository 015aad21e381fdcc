// A TCP relay that adds a fixed delay in each direction: it listens on one address, forwards
// every connection to a target address, and holds each piece of data it reads for the one-way
// delay before passing it on. Used inside a lab's network namespace to put round-trip time
// between a client and the device.
//
// Usage: delay_relay LISTEN_IPV4:PORT TARGET_IPV4:PORT ONE_WAY_DELAY_MICROSECONDS
// Prints "listening" once it accepts connections and runs until it is killed.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kReadSize = 256 * 1024;
// Bytes one direction may hold (the pipe's capacity).
constexpr std::size_t kPipeSize = 8 * 1024 * 1024;

// A file descriptor that is closed with its owner.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

bool parseEndpoint(const std::string& text, sockaddr_in& address) {
  std::size_t colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  address = {};
  address.sin_family = AF_INET;
  char* end = nullptr;
  long port = std::strtol(text.c_str() + colon + 1, &end, 10);
  if (*end != '\0' || port <= 0 || port > 65535) return false;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  return inet_pton(AF_INET, text.substr(0, colon).c_str(), &address.sin_addr) == 1;
}

std::size_t pipeMaxSize() {
  std::FILE* file = std::fopen("/proc/sys/fs/pipe-max-size", "r");
  unsigned long size = 1024 * 1024;
  if (file != nullptr) {
    if (std::fscanf(file, "%lu", &size) != 1) size = 1024 * 1024;
    std::fclose(file);
  }
  return size;
}

// Sets up a relayed socket: no Nagle delay on top of the relay's own, and non-blocking, since
// every wait is a poll.
void prepareSocket(int fd) {
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// Waits until `fd` is ready for `events`; false when it failed or was hung up without them.
bool waitFor(int fd, short events) {
  pollfd entry{fd, events, 0};
  for (;;) {
    int ready = ::poll(&entry, 1, -1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return false;
    // A hang-up with data still to read is reported with POLLIN; without, splice sees the end.
    return (entry.revents & (events | POLLHUP | POLLERR)) != 0;
  }
}

// One direction of one connection. Bytes move from `from` into a kernel pipe and on to `to`
// with splice, so they are never copied through this process; the reader notes when each piece
// arrived, and the writer moves it on once that time plus the delay has come. Pieces that are
// due together go out in one go. A full pipe stops the reader, which slows the sender down
// through TCP as a real link would.
class DelayedPipe {
 public:
  DelayedPipe(int from, int to, Clock::duration delay) : from_(from), to_(to), delay_(delay) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return;
    held_[0] = std::make_unique<Fd>(ends[0]);
    held_[1] = std::make_unique<Fd>(ends[1]);
    // As large as allowed: without CAP_SYS_RESOURCE, fs.pipe-max-size (1 MiB by default).
    if (::fcntl(ends[1], F_SETPIPE_SZ, static_cast<int>(kPipeSize)) < 0)
      ::fcntl(ends[1], F_SETPIPE_SZ, static_cast<int>(pipeMaxSize()));
  }

  bool ok() const { return held_[0] != nullptr; }

  void run() {
    std::thread writer([this] { writeLoop(); });
    readLoop();
    writer.join();
  }

 private:
  // The bytes up to stream position `end` arrived by `due`; `last` marks the end of the stream.
  struct Mark {
    std::uint64_t end;
    Clock::time_point due;
    bool last;
  };

  void readLoop() {
    std::uint64_t received = 0;
    for (;;) {
      // Blocking splice from a socket holds the pipe's lock while it waits, which would stop
      // the writer; so wait for data (and room) first, and splice without blocking.
      if (!waitFor(from_, POLLIN) || !waitFor(held_[1]->get(), POLLOUT)) return;
      ssize_t got = ::splice(from_, nullptr, held_[1]->get(), nullptr, kReadSize,
                             SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
      if (got < 0 && errno == EAGAIN) continue;
      Clock::time_point due = Clock::now() + delay_;
      std::lock_guard lock(mutex_);
      if (got > 0) received += static_cast<std::uint64_t>(got);
      marks_.push_back({received, due, got <= 0});
      marksAdded_.notify_one();
      if (got <= 0 || failed_) return;
    }
  }

  // Waits for the reader's next mark and takes it.
  Mark nextMark() {
    std::unique_lock lock(mutex_);
    marksAdded_.wait(lock, [&] { return !marks_.empty(); });
    Mark mark = marks_.front();
    marks_.pop_front();
    return mark;
  }

  void writeLoop() {
    std::uint64_t sent = 0;
    for (;;) {
      Mark mark = nextMark();
      std::this_thread::sleep_until(mark.due);
      takeDueMarks(mark);
      if (!moveOn(mark.end - sent)) {
        fail();
        discardUntilEnd(sent);
        return;
      }
      sent = mark.end;
      if (mark.last) {
        ::shutdown(to_, SHUT_WR);
        return;
      }
    }
  }

  // Extends `mark` over the marks behind it that are due by now.
  void takeDueMarks(Mark& mark) {
    Clock::time_point now = Clock::now();
    std::lock_guard lock(mutex_);
    while (!mark.last && !marks_.empty() && marks_.front().due <= now) {
      mark = marks_.front();
      marks_.pop_front();
    }
  }

  bool moveOn(std::uint64_t length) {
    while (length > 0) {
      ssize_t moved = ::splice(held_[0]->get(), nullptr, to_, nullptr, length,
                               SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
      if (moved < 0 && errno == EAGAIN) {
        if (!waitFor(to_, POLLOUT)) return false;
        continue;
      }
      if (moved <= 0) return false;
      length -= static_cast<std::uint64_t>(moved);
    }
    return true;
  }

  // The receiver is gone: the reader is woken from splice and stops.
  void fail() {
    std::lock_guard lock(mutex_);
    failed_ = true;
    ::shutdown(from_, SHUT_RDWR);
  }

  // Empties the pipe of what arrives until the reader has stopped, so it never waits on a full
  // pipe. `sent` bytes of the stream have left the pipe so far.
  void discardUntilEnd(std::uint64_t sent) {
    char scratch[64 * 1024];
    for (;;) {
      Mark mark = nextMark();
      while (sent < mark.end) {
        ssize_t got = ::read(held_[0]->get(), scratch,
                             std::min<std::uint64_t>(sizeof scratch, mark.end - sent));
        if (got <= 0) return;
        sent += static_cast<std::uint64_t>(got);
      }
      if (mark.last) return;
    }
  }

  int from_;
  int to_;
  Clock::duration delay_;
  // The pipe that holds the bytes on their way: read end, write end.
  std::unique_ptr<Fd> held_[2];
  std::mutex mutex_;
  std::condition_variable marksAdded_;
  std::deque<Mark> marks_;
  bool failed_ = false;
};

void relayConnection(int clientFd, sockaddr_in target, Clock::duration delay) {
  Fd client(clientFd);
  Fd server(::socket(AF_INET, SOCK_STREAM, 0));
  if (server.get() < 0) return;
  if (::connect(server.get(), reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
    std::perror("delay_relay: connect");
    return;
  }
  prepareSocket(client.get());
  prepareSocket(server.get());
  DelayedPipe up(client.get(), server.get(), delay);
  DelayedPipe down(server.get(), client.get(), delay);
  if (!up.ok() || !down.ok()) return;
  std::thread upThread([&] { up.run(); });
  down.run();
  upThread.join();
}

int usage() {
  std::fprintf(stderr,
               "usage: delay_relay LISTEN_IPV4:PORT TARGET_IPV4:PORT ONE_WAY_DELAY_MICROSECONDS\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) return usage();
  sockaddr_in listenAddress{};
  sockaddr_in target{};
  if (!parseEndpoint(argv[1], listenAddress) || !parseEndpoint(argv[2], target)) return usage();
  char* end = nullptr;
  long delayMicroseconds = std::strtol(argv[3], &end, 10);
  if (*end != '\0' || delayMicroseconds < 0) return usage();
  auto delay = std::chrono::microseconds(delayMicroseconds);

  std::signal(SIGPIPE, SIG_IGN);
  Fd listener(::socket(AF_INET, SOCK_STREAM, 0));
  int on = 1;
  setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (::bind(listener.get(), reinterpret_cast<const sockaddr*>(&listenAddress),
             sizeof listenAddress) != 0 ||
      ::listen(listener.get(), 16) != 0) {
    std::perror("delay_relay: listen");
    return 1;
  }
  std::printf("listening\n");
  std::fflush(stdout);
  for (;;) {
    int client = ::accept(listener.get(), nullptr, nullptr);
    if (client < 0) continue;
    std::thread(relayConnection, client, target, delay).detach();
  }
}
