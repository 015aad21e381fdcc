// provision --history [UID]: the unit history beside the executable, as a table on the console.
#pragma once

#include <string>

namespace provision {

// Prints the rows of the unit `uid` (or, with an empty one, the last rows) of the unit history in
// `folder`. Reads that file and nothing else: no lock, no run record, no connection. Returns 0, or
// kRunFileNotRead when the file is there but cannot be read (said on standard error).
int showHistory(const std::string& folder, const std::string& uid);

}  // namespace provision
