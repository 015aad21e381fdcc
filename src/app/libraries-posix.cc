// The Linux build links the system's shared libssh, libcurl and libzip. Debian builds its libssh
// on OpenSSL's libcrypto and its libzip on zlib, the ones loaded into this process.
#include <curl/curl.h>
#include <libssh/libssh.h>
#include <openssl/crypto.h>
#include <zip.h>
#include <zlib.h>

#include "app/libraries.h"

namespace provision {

std::vector<std::string> linkedLibraries() {
  std::string ssh =
      "libssh " + libsshVersion() + " (OpenSSL " + OpenSSL_version(OPENSSL_VERSION_STRING) + ")";
  const curl_version_info_data* curl = curl_version_info(CURLVERSION_NOW);
  std::string ftp = std::string("libcurl ") + curl->version;
  if (curl->ssl_version != nullptr) ftp += std::string(" (") + curl->ssl_version + ")";
  std::string zip = std::string("libzip ") + zip_libzip_version() + " (zlib " + zlibVersion() + ")";
  return {ssh, ftp, zip};
}

}  // namespace provision
