// How FtpSource treats the names a server folder listing gives it.
#pragma once

#include <string>

#include "ftp/ftp_client.h"

namespace provision {

enum class EntryUse {
  Skip,    // "." and "..", and folders: passed over silently
  Refuse,  // a file whose name is unsafe as a local file name: passed over with a warning
  Fetch,
};

// Whether `name` can be a file name directly inside a local folder: not empty, no "/", "\" or
// control character, and not made of dots and blanks only (".", "..", " .. " and the like).
bool isSafeLocalName(const std::string& name);

EntryUse useOfEntry(const FtpEntry& entry);

}  // namespace provision
