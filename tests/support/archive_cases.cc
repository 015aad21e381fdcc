#include "support/archive_cases.h"

#include <cstdint>

#include "support/files.h"
#include "support/zip_builder.h"

namespace provision::test {
namespace {

constexpr const char* kProgramName = "QMServer/bin/QMServer";
const std::string kScript = "#!/bin/sh\necho installed\n";
const std::string kUnitSettings = "unit settings 16";  // 16 bytes

// A package as the workflows get them, a folder, a script and a program, with `more` entries.
std::string package(std::vector<ZipEntry> more = {}, bool storedProgram = false) {
  std::vector<ZipEntry> entries{{"QMServer/", ""},
                                {"QMServer/install.sh", kScript},
                                {kProgramName, patterned(70000), storedProgram}};
  entries.insert(entries.end(), more.begin(), more.end());
  return makeZip(entries);
}

ZipEntry link(const std::string& name, const std::string& target) {
  return {name, target, true, kLinkMode};
}

// The package with a stored entry QMServer/unit.cfg whose headers `change` rewrites.
std::string withUnitSettings(const std::function<void(EntryHeader&)>& change,
                             const std::string& data = "") {
  return withHeader(package({{"QMServer/unit.cfg", data, true}}), "QMServer/unit.cfg", change);
}

// The package with its program's headers rewritten by `change`.
std::string withProgramHeader(const std::function<void(EntryHeader&)>& change,
                              bool storedProgram = false) {
  return withHeader(package({}, storedProgram), kProgramName, change);
}

std::string withProgramMethod(std::uint16_t method) {
  return withProgramHeader([method](EntryHeader& header) { header.method = method; }, true);
}

}  // namespace

std::vector<ArchiveCase> archiveCases() {
  const std::string sound = package();
  const std::string program = patterned(70000);
  return {
      // Sound packages.
      {"a sound package", sound, ""},
      {"a sound package with a stored entry", package({}, true), ""},
      {"a sound package with links inside it",
       package({{"QMServer/lib/libq.so.1", "library"},
                link("QMServer/lib/libq.so", "libq.so.1"),
                link("QMServer/bin/run", "../install.sh"),
                link("QMServer/top", ".."),
                link("QMServer/lib/current", "./libq.so")}),
       ""},

      // Damaged on the way or on a disk.
      {"cut short, as a broken upload to the server leaves it", sound.substr(0, sound.size() / 2),
       "it cannot be read as a zip archive ("},
      {"its last byte missing", sound.substr(0, sound.size() - 1),
       "it cannot be read as a zip archive ("},
      {"a flipped byte in a stored entry", flipByteIn(package({}, true), program),
       "its entry QMServer/bin/QMServer is damaged (CRC error)"},
      {"a flipped byte in a deflated entry's data",
       flipByteIn(sound, sound.substr(sound.size() / 3, 64)),
       "its entry QMServer/bin/QMServer is damaged ("},
      {"an empty file", "", "it holds no files"},
      {"a text file", "QMServer_V3.1.zip\n", "it cannot be read as a zip archive ("},

      // Made by a broken zip writer: headers that do not match the data.
      {"0 bytes stored for 16 unpacked, with their CRC", withUnitSettings([](EntryHeader& header) {
         header.size = 16;
         header.crc = crcOf(kUnitSettings);
       }),
       "its entry QMServer/unit.cfg is damaged (only 0 of its 16 bytes are there)"},
      {"0 bytes deflated for 16 unpacked", withUnitSettings([](EntryHeader& header) {
         header.method = 8;
         header.size = 16;
         header.crc = crcOf(kUnitSettings);
       }),
       "its entry QMServer/unit.cfg is damaged (its deflated data ends early)"},
      {"a stored entry longer than its size",
       withUnitSettings([](EntryHeader& header) { header.size = 12; }, kUnitSettings),
       "its entry QMServer/unit.cfg is damaged (it holds more than its 12 bytes)"},
      {"a deflated entry that inflates to more than its size",
       withProgramHeader([](EntryHeader& header) { header.size = 1000; }),
       "its entry QMServer/bin/QMServer is damaged (it holds more than its 1000 bytes)"},
      {"deflated data that ends before its stream does",
       withProgramHeader([](EntryHeader& header) { header.compressedSize /= 2; }),
       "its entry QMServer/bin/QMServer is damaged (its deflated data ends early)"},

      // What a unit's unzip would unpack elsewhere, differently or not at all.
      {"an archive without entries", makeZip({}), "it holds no files"},
      {"folders only", makeZip({{"QMServer/", ""}, {"QMServer/bin/", ""}}), "it holds no files"},
      {"folders and a link only",
       makeZip({{"QMServer/", ""}, link("QMServer/install.sh", "/bin/true")}), "it holds no files"},
      {"an entry that climbs out", package({{"../../etc/cron.d/x", "* * * * * root id\n"}}),
       "its entry ../../etc/cron.d/x climbs out of the folder it is unpacked into (\"..\")"},
      {"an entry that climbs out in the middle of its name", package({{"QMServer/../../x", "x\n"}}),
       "its entry QMServer/../../x climbs out of the folder it is unpacked into"},
      {"an absolute entry", package({{"/etc/cron.d/x", "* * * * * root id\n"}}),
       "its entry /etc/cron.d/x has an absolute name"},
      {"backslashes between folder names, as PowerShell 5 zips",
       makeZip({{"QMServer\\install.sh", kScript}, {"QMServer\\bin\\QMServer", program}}),
       "its entry QMServer\\install.sh has a backslash in its name"},
      {"a control character in a name",
       renamed(package({{"QMServer/#[2Jnotes.txt", "x\n"}}), "QMServer/#[2Jnotes.txt",
               "QMServer/\x1b[2Jnotes.txt"),
       "its entry QMServer/?[2Jnotes.txt has a control character in its name"},
      {"a Unicode path field that climbs out",
       package({{"QMServer/readme.txt", "x\n", false, 0, "../../etc/cron.d/x"}}),
       "its entry ../../etc/cron.d/x climbs out of the folder it is unpacked into"},
      {"a bzip2 entry", withProgramMethod(12),
       "its entry QMServer/bin/QMServer is compressed with bzip2 (method 12); only stored and "
       "deflated entries unpack on every unit"},
      {"a Deflate64 entry", withProgramMethod(9),
       "its entry QMServer/bin/QMServer is compressed with Deflate64 (method 9)"},
      {"an LZMA entry", withProgramMethod(14),
       "its entry QMServer/bin/QMServer is compressed with LZMA (method 14)"},
      {"an encrypted entry",
       withProgramHeader([](EntryHeader& header) { header.flags |= 1; }, true),
       "its entry QMServer/bin/QMServer is encrypted"},
      {"a link to an absolute path", package({link("QMServer/lib/libc.so", "/lib/libc.so.6")}),
       "its entry QMServer/lib/libc.so is a link to /lib/libc.so.6, outside the package"},
      {"a link that climbs out", package({link("QMServer/etc", "../../etc")}),
       "its entry QMServer/etc is a link to ../../etc, outside the package"},
      {"a link through a link that climbs out",
       package({link("QMServer/up", ".."), link("QMServer/out", "up/..")}),
       "its entry QMServer/out is a link to up/.., which leads through the link QMServer/up"},
      {"an entry under a link",
       package({link("QMServer/conf", "bin"), {"QMServer/conf/unit.cfg", "x\n"}}),
       "its entry QMServer/conf/unit.cfg lies under the link QMServer/conf"},
      {"a link without a target", package({link("QMServer/lib/libq.so", "")}),
       "its entry QMServer/lib/libq.so is a link without a target"},
  };
}

}  // namespace provision::test
