// The names of what has not fully arrived yet, locally and on the device: a download's temporary
// file, a folder that collects a set of files, an upload before it takes its name. What carries
// such a name is never whole, and is never used, uploaded or installed.
#pragma once

#include <string>

namespace provision {

// A new such name: a leading dot keeps it out of listings and globs ("/root/QMServer*" never
// matches it), the random part away from any real file.
std::string makePartialName();

// Whether `name` is such a name.
bool isPartialDownloadName(const std::string& name);

// A shell glob that matches every such name and nothing else of a folder, for removing what a run
// that was cut off left behind.
std::string partialNameGlob();

}  // namespace provision
