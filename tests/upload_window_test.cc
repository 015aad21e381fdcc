// The upload's window against simulated links: it follows the round trip and the bandwidth, in
// whole requests, and never beyond the device's channel window.
#include "device/upload_window.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <deque>

namespace provision {
namespace {

using Clock = UploadWindow::Clock;
using std::chrono::microseconds;

constexpr std::uint64_t kOpenSshChannelWindow = 2 * 1024 * 1024;
constexpr std::int64_t kRequest = static_cast<std::int64_t>(kWriteRequestSize);
constexpr std::size_t kMinWindow = UploadWindow::kMinRequests * kWriteRequestSize;
const Clock::time_point kStart{};

// A link with a fixed round trip and bandwidth: each request is acknowledged one round trip
// after it was sent, and no sooner than the bandwidth lets its bytes through.
struct Link {
  microseconds roundTrip;
  double bytesPerSecond;
};

// Sends `requests` requests through the window, the way the uploader does: whenever an
// acknowledgement makes room, new requests fill the window again. Returns the largest window.
std::size_t simulate(UploadWindow& window, const Link& link, int requests) {
  const Clock::time_point start = kStart;
  const auto perRequest = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(static_cast<double>(kRequest) / link.bytesPerSecond));
  struct InFlight {
    Clock::time_point sentAt, ackedAt;
  };
  std::deque<InFlight> inFlight;  // oldest first
  Clock::time_point now = start;
  Clock::time_point lastAck = start;
  std::int64_t sent = 0;
  std::int64_t acknowledged = 0;
  std::size_t largest = window.size();
  while (acknowledged < requests * kRequest) {
    while (sent - acknowledged + kRequest <= static_cast<std::int64_t>(window.size()) &&
           sent < requests * kRequest) {
      sent += kRequest;
      lastAck = std::max(now + link.roundTrip, lastAck + perRequest);
      inFlight.push_back({now, lastAck});
    }
    const InFlight request = inFlight.front();
    inFlight.pop_front();
    now = request.ackedAt;
    acknowledged += kRequest;
    window.acknowledged(acknowledged, request.sentAt, now);
    EXPECT_EQ(window.size() % kWriteRequestSize, 0u);
    largest = std::max(largest, window.size());
  }
  return largest;
}

TEST(UploadWindow, ShortRoundTripsKeepTheSmallestWindow) {
  for (const Link link : {Link{microseconds(150), 400e6}, Link{microseconds(1300), 250e6}}) {
    UploadWindow window(kOpenSshChannelWindow, link.roundTrip, kStart);
    EXPECT_EQ(window.size(), kMinWindow);
    EXPECT_EQ(simulate(window, link, 4000), kMinWindow) << link.roundTrip.count() << " us";
  }
}

TEST(UploadWindow, LongRoundTripGrowsTheWindowUpToTheChannelWindow) {
  const Link link{microseconds(5400), 400e6};
  UploadWindow window(kOpenSshChannelWindow, link.roundTrip, kStart);
  const std::size_t largest = simulate(window, link, 4000);
  EXPECT_GT(largest, kMinWindow);
  EXPECT_EQ(largest, window.maxSize());
  // The requests in flight, with what travels with them, stay below the channel window.
  const std::size_t requests = window.maxSize() / kWriteRequestSize;
  EXPECT_LT(requests * (kWriteRequestSize + UploadWindow::kRequestOverhead), kOpenSshChannelWindow);
  EXPECT_GE(window.maxSize(), 1800000u);
}

TEST(UploadWindow, SlowLinkDoesNotGrowTheWindow) {
  // 10 MB/s over 5 ms: the bandwidth, not the window, limits the rate.
  const Link link{microseconds(5000), 10e6};
  UploadWindow window(kOpenSshChannelWindow, link.roundTrip, kStart);
  EXPECT_EQ(simulate(window, link, 600), kMinWindow);
}

TEST(UploadWindow, SmallChannelWindowCapsEvenTheSmallestWindow) {
  UploadWindow window(256 * 1024, microseconds(200), kStart);
  EXPECT_EQ(window.size(), window.maxSize());
  EXPECT_LT(window.size(), kMinWindow);
  EXPECT_LE(
      window.size() / kWriteRequestSize * (kWriteRequestSize + UploadWindow::kRequestOverhead),
      256u * 1024u);
  simulate(window, Link{microseconds(5400), 400e6}, 500);
  EXPECT_EQ(window.size(), window.maxSize());

  // A channel that admits less than one request still lets one through at a time.
  UploadWindow tiny(1000, microseconds(200), kStart);
  EXPECT_EQ(tiny.size(), kWriteRequestSize);
}

}  // namespace
}  // namespace provision
