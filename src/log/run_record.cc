#include "log/run_record.h"

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <functional>
#include <iostream>
#include <streambuf>
#include <system_error>

#include "log/text.h"

namespace provision {

// Passes every character on to `target` at once and hands each complete line, without its line
// feed, to `onLine`.
class LineTee : public std::streambuf {
 public:
  LineTee(std::streambuf* target, std::function<void(const std::string&)> onLine)
      : target_(target), onLine_(std::move(onLine)) {}

  // Hands on a last line that has no line feed yet.
  void finish() {
    if (pending_.empty()) return;
    onLine_(pending_);
    pending_.clear();
  }

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof()))
      return sync() == 0 ? traits_type::not_eof(c) : traits_type::eof();
    if (traits_type::eq_int_type(target_->sputc(traits_type::to_char_type(c)), traits_type::eof()))
      return traits_type::eof();
    collect(traits_type::to_char_type(c));
    return c;
  }

  std::streamsize xsputn(const char* text, std::streamsize count) override {
    const std::streamsize written = target_->sputn(text, count);
    for (std::streamsize i = 0; i < written; ++i) collect(text[i]);
    return written;
  }

  int sync() override { return target_->pubsync(); }

 private:
  void collect(char c) {
    if (c != '\n') {
      pending_ += c;
      return;
    }
    const std::string line = std::move(pending_);
    pending_.clear();
    onLine_(line);
  }

  std::streambuf* target_;
  std::function<void(const std::string&)> onLine_;
  std::string pending_;
};

namespace {

RunRecord* activeRecord = nullptr;

void rotate(const std::string& path) {
  std::error_code error;
  const std::uintmax_t size = std::filesystem::file_size(toFsPath(path), error);
  if (error || size <= kRecordSizeLimit) return;
  std::filesystem::rename(toFsPath(path), toFsPath(path + ".1"), error);
}

// Local date and time as "2025-04-28 07:05:03".
std::string recordTime(std::time_t time = std::time(nullptr)) {
  std::tm local{};
  toLocalTime(time, local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

}  // namespace

RunRecord::RunRecord(const std::string& path, const std::string& startText)
    : path_(path),
      startedAt_(std::time(nullptr)),
      startTime_(recordTime(startedAt_)),
      start_(std::chrono::steady_clock::now()),
      standardError_(std::cerr.rdbuf()) {
  rotate(path);
  if (!file_.open(path)) {
    stopKeeping();
    return;
  }
  kept_ = true;
  addLineAt(startTime_, startText);
  activeRecord = this;
  tee_ = std::make_unique<LineTee>(standardError_,
                                   [this](const std::string& line) { addLine("stderr: " + line); });
  std::cerr.rdbuf(tee_.get());
}

RunRecord::~RunRecord() {
  if (activeRecord == this) activeRecord = nullptr;
  if (tee_) std::cerr.rdbuf(standardError_);
}

double RunRecord::seconds() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void RunRecord::end(const std::string& endText) {
  if (tee_) tee_->finish();
  char duration[32];
  std::snprintf(duration, sizeof duration, ", %.1f s", seconds());
  addLine(endText + duration);
}

void RunRecord::addLine(const std::string& text) { addLineAt(recordTime(), text); }

void RunRecord::addLineAt(const std::string& time, const std::string& text) {
  if (!kept_) return;
  const std::string prefix = time + " [" + std::to_string(currentProcessId()) + "] ";
  if (!file_.appendLine(prefix + text)) stopKeeping();
}

void RunRecord::stopKeeping() {
  kept_ = false;
  // Straight to the console: the line is no part of the run, and the record is not kept.
  const std::string notice =
      "Cannot write the run record " + path_ + "; this run is not recorded\n";
  standardError_->sputn(notice.data(), static_cast<std::streamsize>(notice.size()));
  standardError_->pubsync();
}

void recordFact(const std::string& text) {
  if (activeRecord != nullptr) activeRecord->addLine(text);
}

void recordLogLine(const std::string& line) { recordFact("log: " + line); }

void recordUpload(const std::string& localPath, const std::string& remotePath, int status) {
  if (activeRecord == nullptr) return;
  std::error_code error;
  const std::uintmax_t size = std::filesystem::file_size(toFsPath(localPath), error);
  std::string text = "upload: " + localPath + " to " + remotePath + ", ";
  text += error ? "size unknown" : std::to_string(size) + " bytes";
  text += status == 0 ? ": done" : ": failed, status " + std::to_string(status);
  activeRecord->addLine(text);
}

void recordRename(const std::string& from, const std::string& to, int status) {
  if (activeRecord == nullptr) return;
  activeRecord->addLine("rename: " + from + " to " + to +
                        (status == 0 ? ": done" : ": failed, status " + std::to_string(status)));
}

void recordCommand(const std::string& user, const std::string& command, int status,
                   int exitStatus) {
  if (activeRecord == nullptr) return;
  std::string text = "command: as " + user + ": ";
  // A command line of several lines stays on one line of the record.
  for (char c : command) text += c == '\n' ? std::string("\\n") : std::string(1, c);
  text += ": ";
  if (status != 0) {
    text += "failed, status " + std::to_string(status);
  } else if (exitStatus < 0) {
    text += "no exit status";
  } else {
    text += "exit status " + std::to_string(exitStatus);
  }
  activeRecord->addLine(text);
}

}  // namespace provision
