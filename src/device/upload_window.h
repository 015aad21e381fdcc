// How many bytes an upload keeps unacknowledged.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace provision {

// The data of one SFTP write request at most: with its head one SSH packet of the common
// 32 KiB maximum.
inline constexpr std::size_t kWriteRequestSize = 30000;
// How many write requests go to libssh in one call at most (480 KB).
inline constexpr std::size_t kWriteBatchRequests = 16;

// The upload's window follows the link. Over a short round trip a window of kMinRequests keeps the
// link busy, and more only costs the device's SSH server work. Over a longer one the window grows
// towards the link's bandwidth-delay product with headroom: the round trip is the shortest seen
// between handing bytes to libssh and their acknowledgement, the bandwidth what was acknowledged
// over the last round. The window is always a whole number of requests, so that each
// acknowledgement makes room for one full request, and stays below the device's channel window.
class UploadWindow {
 public:
  using Clock = std::chrono::steady_clock;

  static constexpr std::size_t kMinRequests = 42;  // 1.26 MB
  // What travels with each request besides its data: the SFTP header and the file handle.
  static constexpr std::size_t kRequestOverhead = 64;

  // The window for a device whose SSH channel admits `channelWindow` bytes of unadjusted data,
  // starting at `start` from one round trip measured before (e.g. the file's open request).
  UploadWindow(std::uint64_t channelWindow, Clock::duration firstRoundTrip,
               Clock::time_point start);

  std::size_t size() const { return size_; }
  std::size_t maxSize() const { return maxSize_; }

  // The device acknowledged the bytes up to `offset` at `at`; the newest request among them was
  // written at `sentAt`.
  void acknowledged(std::int64_t offset, Clock::time_point sentAt, Clock::time_point at);

 private:
  std::size_t size_;
  std::size_t maxSize_;
  Clock::duration roundTrip_;
  // The round over which the bandwidth is measured.
  Clock::time_point roundStart_;
  std::int64_t roundStartOffset_ = 0;
};

}  // namespace provision
