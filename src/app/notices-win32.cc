// provision.exe carries the notices of the libraries linked into it: the bytes of
// THIRD-PARTY-NOTICES.txt (with LF line ends), which the build generates from the Debian
// copyright files of those libraries (cmake/Notices.cmake).
#include "app/notices.h"

namespace provision {
namespace {

constexpr unsigned char kNotices[] = {
#include "third_party_notices.inc"
};

}  // namespace

std::string_view noticesText() {
  return {reinterpret_cast<const char*>(kNotices), sizeof kNotices};
}

}  // namespace provision
