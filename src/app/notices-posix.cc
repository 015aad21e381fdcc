// The Linux build links the system's shared libraries, whose notices the system keeps.
#include "app/notices.h"

namespace provision {

std::string_view noticesText() {
  return "provision links the system's shared libraries: libssh (Debian package libssh-4),\n"
         "libcurl (libcurl4), libzip (libzip4), OpenSSL (libssl3), zlib (zlib1g), the C library\n"
         "(libc6) and GCC's runtime libraries (libstdc++6, libgcc-s1). Each keeps its copyright\n"
         "notice and licence in /usr/share/doc/PACKAGE/copyright, e.g.\n"
         "/usr/share/doc/libssh-4/copyright.\n";
}

}  // namespace provision
