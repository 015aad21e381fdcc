// Short waits for tests of what happens when a peer stops answering: a stall then costs a test
// a few seconds instead of the program's own tens of seconds, and a loaded machine still answers
// well within them.
#pragma once

#include <chrono>
#include <string>

#include "device/ssh_link.h"
#include "ftp/ftp_client.h"

namespace provision::test {

using namespace std::chrono_literals;

inline LinkWaits shortLinkWaits() {
  LinkWaits waits;
  waits.connect = 2000ms;
  waits.transfer = 2000ms;
  waits.silence = 3000ms;  // six keepalive requests long
  waits.keepalive = 500ms;
  return waits;
}

inline FtpWaits shortFtpWaits() {
  FtpWaits waits;
  waits.connect = 2000ms;
  waits.transfer = 2000ms;  // libcurl takes some of its waits in whole seconds
  return waits;
}

inline double secondsOf(std::chrono::milliseconds wait) {
  return std::chrono::duration<double>(wait).count();
}

// The upper bound of a step that must have been given up after one of the short waits above: the
// program's own wait of the same kind (LinkWaits{}, FtpWaits{}), several times the short one. A
// loaded machine (two cores, several labs, Wine) stretches a short wait, but not that far; a step
// that kept the default wait, or none, takes at least that long.
inline double givenUpBefore(std::chrono::milliseconds defaultWait) {
  return secondsOf(defaultWait);
}

class Stopwatch {
 public:
  double seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  }

 private:
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

}  // namespace provision::test
