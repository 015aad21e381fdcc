// The Linux build links the system's shared libraries, whose notices the system keeps.
#include "app/notices.h"

namespace provision {

std::string_view noticesText() {
  return "provision links the system's shared libraries: libssh2 (Debian package libssh2-1),\n"
         "libcurl (libcurl4), OpenSSL (libssl3), zlib (zlib1g), the C library (libc6) and GCC's\n"
         "runtime libraries (libstdc++6, libgcc-s1). Each keeps its copyright notice and licence\n"
         "in /usr/share/doc/PACKAGE/copyright, e.g. /usr/share/doc/libssh2-1/copyright.\n";
}

}  // namespace provision
