#include "device/upload_window.h"

#include <algorithm>

namespace provision {
namespace {

// The window holds this much more than the bandwidth-delay product measured, so that it can grow
// when the window itself was what held the rate down.
constexpr double kHeadroom = 1.5;
// The share of the device's channel window that the requests in flight may fill: the server
// adjusts its window only after it consumed part of it.
constexpr double kChannelShare = 0.9;
// A round lasts at least this long, so that a bandwidth sample spans many acknowledgements.
constexpr auto kShortestRound = std::chrono::milliseconds(10);

std::size_t requestsIn(double bytes) {
  return static_cast<std::size_t>(bytes / static_cast<double>(kWriteRequestSize));
}

}  // namespace

UploadWindow::UploadWindow(std::uint64_t channelWindow, Clock::duration firstRoundTrip,
                           Clock::time_point start)
    : roundTrip_(firstRoundTrip), roundStart_(start) {
  const double usable = static_cast<double>(channelWindow) * kChannelShare;
  const std::size_t maxRequests = std::max<std::size_t>(
      1,
      static_cast<std::size_t>(usable / static_cast<double>(kWriteRequestSize + kRequestOverhead)));
  maxSize_ = maxRequests * kWriteRequestSize;
  size_ = std::min(kMinRequests, maxRequests) * kWriteRequestSize;
}

void UploadWindow::acknowledged(std::int64_t offset, Clock::time_point sentAt,
                                Clock::time_point at) {
  roundTrip_ = std::min(roundTrip_, at - sentAt);
  const Clock::duration round = std::max<Clock::duration>(roundTrip_ * 2, kShortestRound);
  if (at - roundStart_ < round) return;
  const double seconds = std::chrono::duration<double>(at - roundStart_).count();
  const double bytesPerSecond = static_cast<double>(offset - roundStartOffset_) / seconds;
  const double product = bytesPerSecond * std::chrono::duration<double>(roundTrip_).count();
  const std::size_t floor = std::min(kMinRequests * kWriteRequestSize, maxSize_);
  const std::size_t wanted = (requestsIn(product * kHeadroom) + 1) * kWriteRequestSize;
  size_ = std::clamp(wanted, floor, maxSize_);
  roundStart_ = at;
  roundStartOffset_ = offset;
}

}  // namespace provision
