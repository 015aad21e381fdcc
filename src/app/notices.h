// The copyright notices and licences of the third-party code in this build, printed by
// --licenses. Each platform builds one variant (notices-posix.cc, notices-win32.cc).
#pragma once

#include <string_view>

namespace provision {

// The notices as text with LF line ends.
std::string_view noticesText();

}  // namespace provision
