#include "app/libraries.h"

#include <libssh/libssh.h>

namespace provision {

std::string libsshVersion() {
  const std::string reported = ssh_version(0);
  return reported.substr(0, reported.find('/'));
}

}  // namespace provision
