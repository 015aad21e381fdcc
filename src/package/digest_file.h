// The digest file a publisher puts beside a package on the package server, NAME.sha256, in
// sha256sum's format: a line per file, its SHA-256 in hex, two blanks (or a blank and the "*" of
// binary mode), its name.
#pragma once

#include <cstddef>
#include <string>

namespace provision {

// The most a digest file of one package is read of: one line per file of a build's folder.
inline constexpr std::size_t kDigestFileLimit = 64 * 1024;

// The name of the digest file beside `packageName`: "QMServer_V3.1.zip.sha256".
std::string digestFileName(const std::string& packageName);

// Finds the SHA-256 that `content`, a digest file's text, gives for `packageName`, as 64
// lower-case hex digits (upper case is read as well). Returns what is wrong with the file as the
// rest of a sentence that starts with it ("names no SHA-256 of QMServer_V3.1.zip"), or empty.
// A line for another file is passed over; a byte-order mark and CR LF line ends are read.
std::string digestFor(const std::string& content, const std::string& packageName,
                      std::string& sha256);

}  // namespace provision
