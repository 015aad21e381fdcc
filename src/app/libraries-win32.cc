// provision.exe has libssh on OpenSSL's libcrypto, libzip on zlib and libcurl linked in, built
// from Debian's source packages (scripts/build-windows-deps).
#include <curl/curl.h>
#include <openssl/crypto.h>
#include <zip.h>
#include <zlib.h>

#include "app/libraries.h"

namespace provision {

std::vector<std::string> linkedLibraries() {
  return {"libssh " + libsshVersion() + " (OpenSSL " + OpenSSL_version(OPENSSL_VERSION_STRING) +
              ") from Debian's libssh " PROVISION_LIBSSH_SOURCE
              " and openssl " PROVISION_OPENSSL_SOURCE,
          std::string("libcurl ") + curl_version_info(CURLVERSION_NOW)->version +
              " from Debian's curl " PROVISION_CURL_SOURCE,
          std::string("libzip ") + zip_libzip_version() + " (zlib " + zlibVersion() +
              ") from Debian's libzip " PROVISION_LIBZIP_SOURCE " and zlib " PROVISION_ZLIB_SOURCE};
}

}  // namespace provision
