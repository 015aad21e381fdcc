#include "ftp/folder_listing.h"

namespace provision {

EntryUse useOfEntry(const FtpEntry& entry, NameRule rule) {
  if (entry.name == "." || entry.name == "..") return EntryUse::Skip;
  if (entry.isFolder) return EntryUse::Skip;
  return isSafeLocalName(entry.name, rule) ? EntryUse::Fetch : EntryUse::Refuse;
}

}  // namespace provision
