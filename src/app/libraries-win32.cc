// provision.exe has libssh on OpenSSL's libcrypto, libzip on zlib and libcurl linked in, built
// from Debian's source packages (scripts/build-windows-deps).
#include <curl/curl.h>
#include <libssh/libssh.h>
#include <openssl/crypto.h>
#include <zip.h>
#include <zlib.h>

#include "app/libraries.h"

namespace provision {

std::vector<std::string> linkedLibraries() {
  // libssh reports "0.11.5/openssl": its version, then the crypto library it was built on.
  const std::string libssh = ssh_version(0);
  return {"libssh " + libssh.substr(0, libssh.find('/')) + " (OpenSSL " +
              OpenSSL_version(OPENSSL_VERSION_STRING) +
              ") from Debian's libssh " PROVISION_LIBSSH_SOURCE
              " and openssl " PROVISION_OPENSSL_SOURCE,
          std::string("libcurl ") + curl_version_info(CURLVERSION_NOW)->version +
              " from Debian's curl " PROVISION_CURL_SOURCE,
          std::string("libzip ") + zip_libzip_version() + " (zlib " + zlibVersion() +
              ") from Debian's libzip " PROVISION_LIBZIP_SOURCE " and zlib " PROVISION_ZLIB_SOURCE};
}

}  // namespace provision
