// What a unit holds, proven by the unit itself: it computes the SHA-256 of every file with its own
// sha256sum (coreutils and BusyBox both have it), and the PC compares them with the digests it
// took of the same files.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "package/package_archive.h"

namespace provision {

class SshLink;

// The command lines that make the unit print the SHA-256 of each of `names`, files below the
// device folder `folder`: one command for all of them, or a few where the names would make one
// line longer than a device's SSH server takes. Each line is "cd FOLDER && sha256sum -- NAME...".
std::vector<std::string> sha256sumCommands(const std::string& folder,
                                           const std::vector<std::string>& names);

// sha256sum's output read back: file name to SHA-256, for each line "DIGEST  NAME". A line of
// another form (a name sha256sum had to escape, a message) is passed over.
std::map<std::string, std::string> readSha256sumLines(const std::string& output);

// The first of `expected` that the unit's `digests` lack or give otherwise, in words ("its file
// QMServer/bin/QMServer is not on the unit", "... differs on the unit: SHA-256 X there, Y
// here"); empty when every file matches.
std::string digestMismatch(const std::vector<ArchiveFile>& expected,
                           const std::map<std::string, std::string>& digests);

// The unit's own check of `expected` below `folder`.
struct UnitCheck {
  enum Outcome {
    Matches,     // every file is there with the expected SHA-256
    Differs,     // `problem` names the first file that is missing or differs
    NoTool,      // the unit has no sha256sum
    LinkFailed,  // the command could not run to its end: `linkStatus`
  };
  Outcome outcome = LinkFailed;
  int linkStatus = 0;
  std::string problem;
  // What the unit printed, file by file.
  std::map<std::string, std::string> digests;
};
UnitCheck checkOnUnit(SshLink& link, const std::string& folder,
                      const std::vector<ArchiveFile>& expected);

// The SHA-256 of a set of files as the unit history keeps it (file_digest.h's fileSetSha256), from
// the digests the unit printed for `names`: the lines "DIGEST  NAME\n" in the byte order of the
// names, hashed.
std::string setSha256(const std::map<std::string, std::string>& digests);

}  // namespace provision
