// The package check as the Windows build runs it: libzip and zlib linked in statically, the
// archive found by its UTF-8 name in a folder whose name has blanks and non-ASCII letters (the
// check reads it through the standard library's wide Win32 calls), and the damage it must find.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "support/zip_builder.h"
#include "workspace/filesystem.h"
#include "workspace/package_archive.h"

namespace provision {
namespace {

namespace fs = std::filesystem;

TEST(PackageArchiveWin32, ChecksAnArchiveByItsUtf8NameAndFindsItsDamage) {
  // "Pakete für 校准" in UTF-8.
  const fs::path folder = fs::temp_directory_path() /
                          ("provision-" + std::to_string(GetCurrentProcessId())) /
                          toFsPath("Pakete f\xc3\xbcr \xe6\xa0\xa1\xe5\x87\x86");
  fs::create_directories(folder);
  const std::u8string name = (folder / "QMServer_V3.1.zip").u8string();
  const std::string path(name.begin(), name.end());
  const std::string program = std::string(64 * 1024, 'a') + "QMServer\n";
  const std::string script = "#!/bin/sh\necho installed\n";
  const std::string sound = test::makeZip(
      {{"QMServer/", ""}, {"QMServer/bin/QMServer", program}, {"QMServer/run.sh", script, true}});
  const struct {
    const char* what;
    std::string bytes;
    std::string problem;
  } rows[] = {
      {"a sound package", sound, ""},
      {"a flipped byte in a stored entry", test::flipByteIn(sound, script),
       "its entry QMServer/run.sh is damaged (CRC error)"},
      {"cut short", sound.substr(0, sound.size() - 10), "it cannot be read as a zip archive ("},
  };
  for (const auto& row : rows) {
    std::ofstream(toFsPath(path), std::ios::binary | std::ios::trunc) << row.bytes;
    const ArchiveCheck check = checkPackageArchive(path);
    EXPECT_EQ(check.sound, row.problem.empty()) << row.what;
    EXPECT_TRUE(check.problem.starts_with(row.problem)) << row.what << ": " << check.problem;
  }
  fs::remove_all(folder.parent_path());
}

}  // namespace
}  // namespace provision
