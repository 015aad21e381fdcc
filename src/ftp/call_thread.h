// A thread that makes a client library's blocking calls, so that the caller can stop waiting for
// one that does not come back. The WinINet client runs its calls here: WinINet's FTP under Wine
// neither honours its connect and data timeouts nor returns from a call whose handle another thread
// closes, so a call to a server that stopped answering may block for good.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <optional>

namespace provision {

class CallThread {
 public:
  // How long a call may go without progress, and what tells progress.
  struct Watch {
    std::chrono::milliseconds wait;
    // Asked a few times a second while the call runs; every change of its value starts the wait
    // anew. Without it the call has `wait` in all.
    std::function<std::int64_t()> progress;
    // Asked to make the call return when it is given up (closing its handle, for example).
    std::function<void()> cancel;
    // How long the call may go until its progress first changes, when that is not `wait` (zero:
    // `wait` throughout).
    std::chrono::milliseconds firstWait{};
  };

  // The thread starts here; started() tells whether it did.
  CallThread();
  // Lets the thread end after its call. Never waits for a call that has not come back.
  ~CallThread();
  CallThread(const CallThread&) = delete;
  CallThread& operator=(const CallThread&) = delete;

  bool started() const { return mailbox_ != nullptr; }

  // What the caller and the thread share (the platform's file defines it).
  struct Mailbox;

  // Runs `call` on the thread and returns its result, or nothing when the call made no progress for
  // the watch's wait. A call given up is cancelled and left to the thread; whatever it uses must
  // then be its own (captured by value). After that, and without a thread, every call gives
  // nothing at once.
  template <class Result>
  std::optional<Result> run(std::function<Result()> call, const Watch& watch) {
    if (!started() || stuck_) return std::nullopt;
    auto task = std::make_shared<std::packaged_task<Result()>>(std::move(call));
    std::future<Result> result = task->get_future();
    post([task] { (*task)(); });
    if (waitFor(result, watch)) return result.get();
    stuck_ = true;
    if (watch.cancel) watch.cancel();
    // A cancelled call that does come back releases what it holds before the caller goes on.
    result.wait_for(kCancelGrace);
    return std::nullopt;
  }

 private:
  static constexpr std::chrono::milliseconds kCancelGrace{1000};
  static constexpr std::chrono::milliseconds kProgressPoll{200};

  void post(std::function<void()> job);

  // Whether `result` became ready before the watch's wait ran out without progress.
  template <class Result>
  static bool waitFor(const std::future<Result>& result, const Watch& watch) {
    using Clock = std::chrono::steady_clock;
    Clock::time_point deadline =
        Clock::now() + (watch.firstWait.count() > 0 ? watch.firstWait : watch.wait);
    if (!watch.progress) return result.wait_until(deadline) == std::future_status::ready;
    std::int64_t seen = watch.progress();
    for (;;) {
      const Clock::time_point next = std::min(deadline, Clock::now() + kProgressPoll);
      if (result.wait_until(next) == std::future_status::ready) return true;
      const std::int64_t now = watch.progress();
      if (now != seen) {
        seen = now;
        deadline = Clock::now() + watch.wait;
      } else if (Clock::now() >= deadline) {
        return false;
      }
    }
  }

  std::shared_ptr<Mailbox> mailbox_;
  bool stuck_ = false;
};

}  // namespace provision
