#include "ftp/download_progress.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "log/text.h"

namespace provision {
namespace {

// Bytes in kB below a megabyte, else in MB with one decimal (decimal units, as disks are sold).
std::string amountText(double bytes) {
  char text[32];
  if (bytes < 1e6)
    std::snprintf(text, sizeof text, "%.0f kB", bytes / 1e3);
  else
    std::snprintf(text, sizeof text, "%.1f MB", bytes / 1e6);
  return text;
}

}  // namespace

std::string downloadProgressText(const std::string& name, std::uint64_t received,
                                 std::uint64_t total, double seconds) {
  std::string text = printable(name) + ": ";
  if (total > 0) {
    const std::uint64_t percent = std::min<std::uint64_t>(100, received * 100 / total);
    text += std::to_string(percent) + "% of " + amountText(static_cast<double>(total)) + ", ";
  }
  text += amountText(static_cast<double>(received));
  if (seconds > 0) text += " at " + amountText(static_cast<double>(received) / seconds) + "/s";
  return text;
}

DownloadProgress::DownloadProgress(std::string name, Write write, Clock::time_point start)
    : name_(std::move(name)), write_(std::move(write)), start_(start) {}

void DownloadProgress::update(std::uint64_t received, std::uint64_t total, Clock::time_point now) {
  if (finished_) return;
  received_ = received;
  total_ = total;
  if (now - start_ < kQuietStart) return;
  if (shown_ && now - shownAt_ < kUpdateEvery) return;
  show(now);
}

void DownloadProgress::finish(Clock::time_point now) {
  if (finished_) return;
  finished_ = true;
  if (!shown_) return;
  show(now);
  write_("\n");
}

void DownloadProgress::show(Clock::time_point now) {
  const double seconds = std::chrono::duration<double>(now - start_).count();
  std::string text = downloadProgressText(name_, received_, total_, seconds);
  const std::size_t length = text.size();
  // Blanks over what a longer line before left.
  if (length < shownLength_) text.append(shownLength_ - length, ' ');
  write_("\r" + text);
  shown_ = true;
  shownAt_ = now;
  shownLength_ = length;
}

void writeToConsole(const std::string& text) {
  std::fputs(text.c_str(), stderr);
  std::fflush(stderr);
}

}  // namespace provision
