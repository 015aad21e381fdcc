// A TCP relay that adds a fixed delay in each direction: it listens on one address, forwards
// every connection to a target address, and holds each piece of data it reads for the one-way
// delay before passing it on. Used inside a lab's network namespace to put round-trip time
// between a client and the device.
//
// Usage: delay_relay LISTEN_IPV4:PORT TARGET_IPV4:PORT ONE_WAY_DELAY_MICROSECONDS
// Prints "listening" once it accepts connections and runs until it is killed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
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
// Bytes one direction may hold before it stops reading, so that a slow receiver slows the sender
// down through TCP as it would on a real link.
constexpr std::size_t kRingSize = 8 * 1024 * 1024;

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

void setNoDelay(int fd) {
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

bool sendAll(int fd, const char* data, std::size_t length) {
  while (length > 0) {
    ssize_t sent = ::send(fd, data, length, MSG_NOSIGNAL);
    if (sent <= 0) return false;
    data += sent;
    length -= static_cast<std::size_t>(sent);
  }
  return true;
}

// One direction of one connection. Bytes read from `from` go into a ring buffer, marked with the
// time they arrived; the writer passes them on to `to` once that time plus the delay has come.
// No allocation per piece, and pieces that are due together go out in one send.
class DelayedPipe {
 public:
  DelayedPipe(int from, int to, Clock::duration delay)
      : from_(from),
        to_(to),
        delay_(delay),
        ring_(std::make_unique_for_overwrite<char[]>(kRingSize)) {}

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
    for (;;) {
      std::size_t room;
      {
        std::unique_lock lock(mutex_);
        roomLeft_.wait(lock, [&] { return received_ - sent_ < kRingSize || failed_; });
        if (failed_) return;
        room = kRingSize - (received_ - sent_);
      }
      // The writer only reads bytes before received_, so this part of the ring is the reader's.
      std::size_t index = received_ % kRingSize;
      std::size_t length = std::min({room, kRingSize - index, kReadSize});
      ssize_t got = ::recv(from_, ring_.get() + index, length, 0);
      Clock::time_point due = Clock::now() + delay_;
      std::lock_guard lock(mutex_);
      if (got > 0) received_ += static_cast<std::size_t>(got);
      marks_.push_back({received_, due, got <= 0});
      marksAdded_.notify_one();
      if (got <= 0) return;
    }
  }

  void writeLoop() {
    std::uint64_t position = 0;
    for (;;) {
      Mark mark;
      {
        std::unique_lock lock(mutex_);
        marksAdded_.wait(lock, [&] { return !marks_.empty(); });
        mark = marks_.front();
        marks_.pop_front();
      }
      std::this_thread::sleep_until(mark.due);
      takeDueMarks(mark);
      if (!sendRange(position, mark.end)) {
        fail();
        return;
      }
      position = mark.end;
      if (mark.last) {
        ::shutdown(to_, SHUT_WR);
        return;
      }
      std::lock_guard lock(mutex_);
      sent_ = position;
      roomLeft_.notify_one();
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

  bool sendRange(std::uint64_t begin, std::uint64_t end) {
    while (begin < end) {
      std::size_t index = begin % kRingSize;
      std::size_t length = std::min<std::uint64_t>(end - begin, kRingSize - index);
      if (!sendAll(to_, ring_.get() + index, length)) return false;
      begin += length;
    }
    return true;
  }

  // The receiver is gone: both ends stop, and the reader is woken from recv.
  void fail() {
    std::lock_guard lock(mutex_);
    failed_ = true;
    ::shutdown(from_, SHUT_RDWR);
    roomLeft_.notify_one();
  }

  int from_;
  int to_;
  Clock::duration delay_;
  std::unique_ptr<char[]> ring_;
  std::mutex mutex_;
  std::condition_variable marksAdded_;
  std::condition_variable roomLeft_;
  std::deque<Mark> marks_;
  // Stream positions: bytes received into the ring, and bytes sent on from it.
  std::uint64_t received_ = 0;
  std::uint64_t sent_ = 0;
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
  setNoDelay(client.get());
  setNoDelay(server.get());
  DelayedPipe up(client.get(), server.get(), delay);
  DelayedPipe down(server.get(), client.get(), delay);
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
