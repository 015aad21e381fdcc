// What the program says about itself: its version, its usage and what its exit statuses mean.
#pragma once

#include <string>

namespace provision {

// "provision" and the version, followed by the commit when it was built from a git checkout; one
// line.
std::string versionText();

// The version alone ("1.0.0"), and the commit it was built from (empty when not from a git
// checkout).
std::string versionNumber();
std::string commitId();

// The text of --help. `folder` is the executable's folder, which holds the data folder and the
// run record.
std::string usageText(const std::string& folder);

// A short meaning of the status a run ended with, e.g. "a step on the device failed: an upload,
// code -12".
std::string exitStatusMeaning(int status);

}  // namespace provision
