// provision.exe has libssh2 and mbedTLS linked in, built from Debian's source packages
// (scripts/build-windows-deps); the package server is reached through Windows' own WinINet.
#include <libssh2.h>
#include <mbedtls/version.h>

#include "app/libraries.h"

namespace provision {

std::vector<std::string> linkedLibraries() {
  char mbedtls[16];  // "x.y.z" and its terminator; mbedTLS asks for at least 9 bytes
  mbedtls_version_get_string(mbedtls);
  return {std::string("libssh2 ") + libssh2_version(0) + " (mbedTLS " + mbedtls +
              ") from Debian's libssh2 " PROVISION_LIBSSH2_SOURCE
              " and mbedtls " PROVISION_MBEDTLS_SOURCE,
          "WinINet (Windows' own)"};
}

}  // namespace provision
