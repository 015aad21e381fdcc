// How FtpSource treats the names a server folder listing gives it.
#pragma once

#include <string>

#include "ftp/ftp_client.h"
#include "workspace/local_name.h"

namespace provision {

enum class EntryUse {
  Skip,    // "." and "..", and folders: passed over silently
  Refuse,  // a file whose name is unsafe as a local file name: passed over with a warning
  Fetch,
};

EntryUse useOfEntry(const FtpEntry& entry, NameRule rule = kLocalNameRule);

}  // namespace provision
