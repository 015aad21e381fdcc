// The call thread on a Win32 thread, which is never joined: a call given up may never come back.
#include <windows.h>

#include <condition_variable>
#include <mutex>

#include "ftp/call_thread.h"

namespace provision {

// What the caller and the thread share. The thread holds its own reference, so a thread that
// outlives its CallThread still finds it.
struct CallThread::Mailbox {
  std::mutex mutex;
  std::condition_variable posted;
  std::function<void()> job;
  bool closing = false;
};

namespace {

DWORD WINAPI serve(void* parameter) {
  std::unique_ptr<std::shared_ptr<CallThread::Mailbox>> owned(
      static_cast<std::shared_ptr<CallThread::Mailbox>*>(parameter));
  CallThread::Mailbox& box = **owned;
  std::unique_lock lock(box.mutex);
  for (;;) {
    box.posted.wait(lock, [&] { return box.job || box.closing; });
    if (!box.job) return 0;
    std::function<void()> job = std::move(box.job);
    box.job = nullptr;
    lock.unlock();
    job();
    lock.lock();
  }
}

}  // namespace

CallThread::CallThread() {
  auto mailbox = std::make_shared<Mailbox>();
  auto* reference = new std::shared_ptr<Mailbox>(mailbox);
  HANDLE thread = CreateThread(nullptr, 0, serve, reference, 0, nullptr);
  if (thread == nullptr) {
    delete reference;
    return;
  }
  CloseHandle(thread);
  mailbox_ = std::move(mailbox);
}

CallThread::~CallThread() {
  if (!mailbox_) return;
  {
    std::lock_guard lock(mailbox_->mutex);
    mailbox_->closing = true;
  }
  mailbox_->posted.notify_one();
}

void CallThread::post(std::function<void()> job) {
  {
    std::lock_guard lock(mailbox_->mutex);
    mailbox_->job = std::move(job);
  }
  mailbox_->posted.notify_one();
}

}  // namespace provision
