// End-to-end runs of the real executable in a lab, as a technician's PC would run it.
#pragma once

#include <cstdint>
#include <regex>
#include <string>
#include <vector>

#include "support/files.h"
#include "support/lab.h"
#include "support/process.h"

namespace provision::test {

// A technician's PC: a fresh folder holding a copy of the executable under test, so that its
// "data" tree lives beside it. The executable is PROVISION_EXE from the environment, else the
// build's own; PROVISION_LAUNCHER (blank-separated words, e.g. a Windows loader) goes before it.
class TechnicianPc {
 public:
  explicit TechnicianPc(const Lab& lab, const std::string& folderName = "pc");

  // Runs the copy with `args` in the lab's network. Line ends of both streams are normalised to
  // LF when a launcher is in use.
  ProcessResult run(const std::vector<std::string>& args, double timeoutSeconds = 300) const;
  // The same on a pseudo-terminal (`script`), as from a technician's console: standard output
  // and standard error both reach it, and `out` is what the terminal got, as it got it.
  ProcessResult runOnTerminal(const std::vector<std::string>& args,
                              double timeoutSeconds = 300) const;

  const std::string& folder() const { return folder_; }
  // The machine's path of a path below the executable's folder, e.g. "data/lib".
  std::string path(const std::string& relative) const { return folder_ + "/" + relative; }
  // The run record beside the executable, with LF line ends.
  std::string record() const;
  // A path below the executable's folder as the program names it: the machine's path, or under a
  // Windows loader the path of Wine's Z: drive ("Z:\var\tmp\...").
  std::string shownPath(const std::string& relative) const;

 private:
  const Lab& lab_;
  std::string folder_;
  std::string exe_;
  std::vector<std::string> launcher_;
};

// What standard error holds when the package server did not answer at start-up: the client's line
// with one of the error codes `codes` (a regex alternative, e.g. "7|28"), then the line that
// names the server and says that the run works from the data folder.
inline std::regex serverDownAtStartUp(const std::string& codes = R"(\d+)") {
  return std::regex(R"(InternetConnect failed\. Error: ()" + codes +
                    R"()\nThe package server at [0-9.]+ [^\n]* works from [^\n]*data\n)");
}

// The run log's time text replaced by "T", so that whole outputs can be compared.
std::string maskTimestamps(const std::string& text);

// The progress text that an upload of `size` bytes writes: a percentage after chunks 0, 20, 40 ...
// of 10240 bytes and the closing 100.00% line on the chunk that reaches the size.
std::string expectedProgress(std::int64_t size);

}  // namespace provision::test
