// Server file names from a folder listing: a name that is fetched, joined to the local folder,
// stays in that folder and names a plain file there under exactly that name. With the Windows rule
// it also is nothing that Win32 treats specially. The first byte chooses folder or file, the rest
// is the name.
#include <filesystem>
#include <regex>

#include "ftp/folder_listing.h"
#include "property.h"

namespace provision::fuzz {
namespace {

constexpr const char* kFolder = "/data/CalFile";

// On POSIX: the joined path, taken apart again, is the folder and the name.
bool staysInFolder(const std::string& name) {
  const std::filesystem::path joined = std::filesystem::path(kFolder) / name;
  const std::filesystem::path normal = joined.lexically_normal();
  return normal.parent_path() == kFolder && normal.filename() == name;
}

bool hasControlCharacter(const std::string& name) {
  for (char c : name) {
    if (static_cast<unsigned char>(c) < 0x20) return true;
  }
  return false;
}

// What Win32 opens as a device whatever the folder: the names, in any case and followed by
// blanks, an extension or both; "¹²³" (UTF-8) count as digits after COM and LPT.
bool namesWindowsDevice(const std::string& name) {
  static const std::regex kDevice(
      "CON|PRN|AUX|NUL|CONIN\\$|CONOUT\\$|(COM|LPT)([0-9]|\xC2\xB9|\xC2\xB2|\xC2\xB3)",
      std::regex::icase);
  std::string stem = name.substr(0, name.find('.'));
  stem.erase(stem.find_last_not_of(' ') + 1);
  // Longer than any device name; a long text would also take the regex deep into recursion.
  if (stem.size() > 8) return false;
  return std::regex_match(stem, kDevice);
}

bool isPlainWindowsName(const std::string& name) {
  if (name.find_first_of("\\/:*?\"<>|") != std::string::npos) return false;  // separators, streams
  if (hasControlCharacter(name)) return false;
  if (name.back() == '.' || name.back() == ' ') return false;  // Win32 strips them
  return !namesWindowsDevice(name);
}

}  // namespace
}  // namespace provision::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace provision;
  using fuzz::require;
  if (size == 0) return 0;
  const FtpEntry entry{fuzz::textOf(data + 1, size - 1), (data[0] & 1) != 0};

  const EntryUse posix = useOfEntry(entry, NameRule::Posix);
  const EntryUse windows = useOfEntry(entry, NameRule::Windows);
  require(posix == EntryUse::Fetch || windows != EntryUse::Fetch,
          "the Windows rule fetches no name the POSIX rule refuses");
  require(isSafeLocalName(entry.name, NameRule::Posix) || !isSafeLocalName(entry.name),
          "the platform's rule is at least the POSIX rule");
  if (entry.isFolder || entry.name == "." || entry.name == "..") {
    require(posix == EntryUse::Skip && windows == EntryUse::Skip, "folders and dots are skipped");
    return 0;
  }
  if (posix == EntryUse::Fetch) {
    require(fuzz::staysInFolder(entry.name), "a fetched name stays in the folder as a plain file");
    require(!fuzz::hasControlCharacter(entry.name), "a fetched name has no control character");
  }
  if (windows == EntryUse::Fetch) {
    require(fuzz::isPlainWindowsName(entry.name), "a name fetched on Windows is a plain file name");
  }
  return 0;
}
