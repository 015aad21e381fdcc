// The run record: what each run did, appended to a file beside the executable, where it outlives
// the console window.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <iosfwd>
#include <memory>
#include <string>

#include "log/record_file.h"

namespace provision {

inline constexpr const char* kRecordFileName = "provision.log";
// A record file larger than this at the start of a run is moved to its name + ".1", replacing an
// older one, and a new file starts.
inline constexpr std::uintmax_t kRecordSizeLimit = 1024 * 1024;

class LineTee;

// One run's entry in the record file. While it lives it is the active record: the record
// functions below add their lines to it, and so does every line written to standard error, which
// passes on to the console unchanged. Each line starts with the local time and the process ID,
// so that the entries of runs at the same time can be told apart.
class RunRecord {
 public:
  // Moves the file at `path` aside when it is over the size limit, opens it and adds
  // `startText`. When the file cannot be written, standard error gets one line saying so and the
  // run goes unrecorded; so it does when a later line cannot be written.
  RunRecord(const std::string& path, const std::string& startText);
  // Stops recording; standard error is as it was before.
  ~RunRecord();
  RunRecord(const RunRecord&) = delete;
  RunRecord& operator=(const RunRecord&) = delete;

  // Adds the end line: `endText` followed by the time since the start.
  void end(const std::string& endText);

  // Adds one line to the entry.
  void addLine(const std::string& text);

  // The local date and time of the start line, as the record writes it ("2025-04-28 07:05:03").
  const std::string& startTime() const { return startTime_; }
  // The calendar time of the start line.
  std::time_t startedAt() const { return startedAt_; }
  // The seconds since the start, as the end line gives them.
  double seconds() const;
  // Whether the record file is being written (false once a line could not be).
  bool kept() const { return kept_; }

 private:
  void addLineAt(const std::string& time, const std::string& text);
  void stopKeeping();

  std::string path_;
  std::time_t startedAt_;
  std::string startTime_;
  std::chrono::steady_clock::time_point start_;
  RecordFile file_;
  bool kept_ = false;
  std::streambuf* standardError_;
  std::unique_ptr<LineTee> tee_;
};

// A fact of the run as it becomes known, e.g. "device line: ZR".
void recordFact(const std::string& text);

// A run-log line as the console shows it.
void recordLogLine(const std::string& line);

// One upload: the local file with its size, where it went, and how it ended (its status). A file
// that arrives under a temporary name first has its rename recorded when it takes its name.
void recordUpload(const std::string& localPath, const std::string& remotePath, int status);

// A device file that took its name: renamed from `from` to `to`, and how that ended.
void recordRename(const std::string& from, const std::string& to, int status);

// One command on the device: the account, the command line, and its exit status (`exitStatus`,
// negative when there is none), or the link's `status` when the command could not run to its end.
void recordCommand(const std::string& user, const std::string& command, int status, int exitStatus);

}  // namespace provision
