#include "support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace provision::test {
namespace {

using Clock = std::chrono::steady_clock;

// A file descriptor that closes itself.
class Fd {
 public:
  Fd() = default;
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;

  int get() const { return fd_; }
  bool isOpen() const { return fd_ >= 0; }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

bool makePipe(Fd& readEnd, Fd& writeEnd) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  readEnd.reset(fds[0]);
  writeEnd.reset(fds[1]);
  return true;
}

[[noreturn]] void execChild(char* const* args, const std::string& cwd, int outFd, int errFd) {
  ::setpgid(0, 0);
  int null = ::open("/dev/null", O_RDONLY);
  if (null < 0 || ::dup2(null, 0) < 0 || ::dup2(outFd, 1) < 0 || ::dup2(errFd, 2) < 0) _exit(127);
  if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) {
    std::perror(cwd.c_str());
    _exit(127);
  }
  ::execvp(args[0], args);
  std::perror(args[0]);
  _exit(127);
}

// Appends what is available on `fd`; closes it at end of file or on an error.
void readAvailable(Fd& fd, std::string& into) {
  char buffer[65536];
  ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
  if (n > 0) {
    into.append(buffer, static_cast<size_t>(n));
    return;
  }
  if (n < 0 && errno == EINTR) return;
  fd.reset();
}

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

int decodeStatus(int waitStatus) {
  if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
  if (WIFSIGNALED(waitStatus)) return 128 + WTERMSIG(waitStatus);
  return -1;
}

void killGroup(pid_t pid) {
  ::kill(-pid, SIGKILL);
  ::kill(pid, SIGKILL);
}

}  // namespace

ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& cwd,
                         double timeoutSeconds) {
  ProcessResult result{-1, "", "", 0.0, false};
  if (argv.empty()) return result;
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);

  Fd outRead, outWrite, errRead, errWrite;
  if (!makePipe(outRead, outWrite) || !makePipe(errRead, errWrite)) return result;
  Clock::time_point start = Clock::now();
  pid_t pid = ::fork();
  if (pid < 0) return result;
  if (pid == 0) execChild(args.data(), cwd, outWrite.get(), errWrite.get());
  outWrite.reset();
  errWrite.reset();

  bool exited = false;
  int waitStatus = 0;
  while (outRead.isOpen() || errRead.isOpen()) {
    double remaining = timeoutSeconds - secondsSince(start);
    if (remaining <= 0) {
      result.timedOut = true;
      break;
    }
    pollfd fds[2] = {{outRead.get(), POLLIN, 0}, {errRead.get(), POLLIN, 0}};
    int waitMs = exited ? 0 : static_cast<int>(std::min(remaining * 1000.0, 100.0)) + 1;
    int ready = ::poll(fds, 2, waitMs);
    if (ready < 0 && errno != EINTR) break;
    if (ready == 0 && exited) break;  // the child is gone and the pipes are drained
    if (ready > 0 && fds[0].revents) readAvailable(outRead, result.out);
    if (ready > 0 && fds[1].revents) readAvailable(errRead, result.err);
    if (!exited && ::waitpid(pid, &waitStatus, WNOHANG) == pid) exited = true;
  }
  while (!exited && !result.timedOut) {
    pid_t done = ::waitpid(pid, &waitStatus, WNOHANG);
    if (done == pid) {
      exited = true;
    } else if (secondsSince(start) >= timeoutSeconds) {
      result.timedOut = true;
    } else {
      ::usleep(10000);
    }
  }
  if (result.timedOut) {
    killGroup(pid);
    if (!exited) ::waitpid(pid, &waitStatus, 0);
  }
  result.status = decodeStatus(waitStatus);
  result.seconds = secondsSince(start);
  return result;
}

}  // namespace provision::test
