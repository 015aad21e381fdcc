#include "log/run_log.h"

#include <iostream>

#include "log/run_record.h"

namespace provision {
namespace {

const char* tagOf(unsigned level) {
  switch (level) {
    case kLogPlain:
      return "";
    case kLogWarning:
      // Kept as it stands: technicians' scripts and log filters look for this very tag.
      return "[WARING]";
    case kLogError:
      return "[ERROR]";
    default:
      return "[INFO]";
  }
}

}  // namespace

std::string makeTimestamp() {
  std::tm local{};
  toLocalTime(std::time(nullptr), local);
  return std::to_string(local.tm_year + 1900) + ":" + std::to_string(local.tm_mon + 1) + ":" +
         std::to_string(local.tm_mday) + " " + std::to_string(local.tm_hour) + ":" +
         std::to_string(local.tm_min) + ":" + std::to_string(local.tm_sec);
}

std::string formatLogLine(const std::string& timestamp, const std::string& message,
                          unsigned level) {
  return "[" + timestamp + "] : " + tagOf(level) + message;
}

std::string formatSeconds(std::chrono::milliseconds wait) {
  const auto ms = wait.count();
  if (ms % 1000 == 0) return std::to_string(ms / 1000) + " s";
  const auto tenths = (ms + 50) / 100;
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " s";
}

void writeLog(const std::string& message, unsigned level) {
  const std::string line = formatLogLine(makeTimestamp(), message, level);
  std::cout << line << std::endl;
  recordLogLine(line);
}

}  // namespace provision
