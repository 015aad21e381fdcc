// The progress of a download on the console: a technician on a slow line sees that it moves.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace provision {

// One line for one download, written to a console (standard error, where the program's other
// lines do not go): nothing for the download's first second, then its file name, the percentage
// (when the size is known), the bytes so far and the rate, updated in place at most four times a
// second, and a line break when it ends. Nothing of it reaches the run record.
class DownloadProgress {
 public:
  using Clock = std::chrono::steady_clock;
  // Writes raw text to the console.
  using Write = std::function<void(const std::string& text)>;

  static constexpr std::chrono::milliseconds kQuietStart{1000};
  static constexpr std::chrono::milliseconds kUpdateEvery{250};

  DownloadProgress(std::string name, Write write, Clock::time_point start = Clock::now());
  DownloadProgress(const DownloadProgress&) = delete;
  DownloadProgress& operator=(const DownloadProgress&) = delete;

  // `received` bytes so far of `total` (0: not known), at `now`.
  void update(std::uint64_t received, std::uint64_t total, Clock::time_point now = Clock::now());
  // The download ended (whole or not): the line, when there is one, shows the last state and
  // ends.
  void finish(Clock::time_point now = Clock::now());

 private:
  void show(Clock::time_point now);

  std::string name_;
  Write write_;
  Clock::time_point start_;
  Clock::time_point shownAt_{};
  bool shown_ = false;
  bool finished_ = false;
  std::size_t shownLength_ = 0;
  std::uint64_t received_ = 0;
  std::uint64_t total_ = 0;
};

// The text of the line: "QMServer_V3.1.zip: 45% of 268.4 MB, 120.8 MB at 31.2 MB/s", or without
// a known total "QMServer_V3.1.zip: 120.8 MB at 31.2 MB/s".
std::string downloadProgressText(const std::string& name, std::uint64_t received,
                                 std::uint64_t total, double seconds);

// Writes `text` to the process's standard error as it stands, past the run record's copy of it.
void writeToConsole(const std::string& text);

}  // namespace provision
