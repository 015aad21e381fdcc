// The libraries this build of the program links, as they report themselves at run time. Each
// platform builds one variant (libraries-posix.cc: the system's shared libssh, libcurl and libzip;
// libraries-win32.cc: libssh on OpenSSL, libzip on zlib and libcurl linked in).
#pragma once

#include <string>
#include <vector>

namespace provision {

// One entry per library: its name and version, with the crypto library under it where it has
// one, e.g. "libssh 0.10.6 (OpenSSL 3.0.15)", "libcurl 7.88.1 (OpenSSL/3.0.15)"; no commas.
std::vector<std::string> linkedLibraries();

// The version libssh reports at run time without the build flags it appends ("0.10.6" of
// "0.10.6/openssl/zlib").
std::string libsshVersion();

}  // namespace provision
