// The unit history's file: a record appended whole, or not at all, under a lock of the whole file
// (shared_file.h gives each platform's calls).
#include "log/history_file.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "log/shared_file.h"

namespace provision {
namespace {

constexpr auto kLockWait = std::chrono::seconds(5);
constexpr auto kLockPoll = std::chrono::milliseconds(10);

// Locks the whole file, waiting up to kLockWait for another holder to let go. False when it stays
// busy; a file system without locks lets the write go ahead unlocked.
bool lockWhole(SharedFile& file) {
  const auto deadline = std::chrono::steady_clock::now() + kLockWait;
  while (file.tryLock() == SharedFile::Lock::Busy) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kLockPoll);
  }
  return true;
}

// What goes before the next record of a file of `size` bytes so that it starts a line of its own:
// nothing when the file ends with `recordEnd` (or a line feed that an editor left), else what is
// missing of it (a write that a full disk cut short, by an older version or another program).
std::string missingEnd(SharedFile& file, std::uint64_t size, const std::string& recordEnd) {
  std::string tail(std::min<std::uint64_t>(size, recordEnd.size()), '\0');
  if (!file.readAt(size - tail.size(), tail.data(), tail.size())) return recordEnd;
  if (tail.ends_with('\n')) return {};
  for (std::size_t kept = tail.size(); kept > 0; --kept) {
    if (tail.ends_with(recordEnd.substr(0, kept))) return recordEnd.substr(kept);
  }
  return recordEnd;
}

}  // namespace

bool appendToSharedFile(const std::string& path, const std::string& head, const std::string& text,
                        const std::string& recordEnd) {
  SharedFile file;
  if (!file.open(path) || !lockWhole(file)) return false;
  std::uint64_t size = 0;
  if (!file.size(size)) return false;
  const std::string bytes = size == 0 ? head + text : missingEnd(file, size, recordEnd) + text;
  if (file.append(bytes)) return true;
  // Part of the record may be there: it goes again, while the lock is still held.
  file.truncate(size);
  return false;
}

}  // namespace provision
