// The run log: timestamped, tagged lines on standard output.
#pragma once

#include <chrono>
#include <ctime>
#include <string>

#include "log/text.h"

namespace provision {

enum LogLevel : unsigned { kLogPlain = 0, kLogInfo = 1, kLogWarning = 2, kLogError = 3 };

// Local time as "Y:M:D h:m:s", each number without leading zeros.
std::string makeTimestamp();

// The complete line (without line end) that writeLog writes for `message` at `level` and time
// text `timestamp`.
std::string formatLogLine(const std::string& timestamp, const std::string& message, unsigned level);

// A wait as the log lines name it: "30 s", or "0.5 s" for one that is not whole seconds.
std::string formatSeconds(std::chrono::milliseconds wait);

// Writes one run-log line to standard output and flushes it; the run record gets it too.
void writeLog(const std::string& message, unsigned level);

}  // namespace provision
