// Runs a program to completion and collects what it wrote (test support).
#pragma once

#include <string>
#include <vector>

namespace provision::test {

struct ProcessResult {
  // The exit status; 128 + signal number when a signal ended it; -1 when it could not be started.
  int status;
  std::string out, err;
  double seconds;
  bool timedOut;
};

// Runs argv[0] (looked up on PATH) with standard input from /dev/null, in `cwd` when not empty,
// and reads its standard output and standard error concurrently. The child leads its own process
// group; on timeout the whole group is killed. Output written after the child itself ended (by a
// descendant that kept the pipes) is not waited for.
ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& cwd = "",
                         double timeoutSeconds = 600);

}  // namespace provision::test
