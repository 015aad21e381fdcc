// The package check as the Windows build runs it: libzip and zlib linked in statically (libzip
// without bzip2 or LZMA), each archive found by its UTF-8 name in a folder whose name has blanks
// and non-ASCII letters (the check reads it through the standard library's wide Win32 calls), and
// the same verdicts as the Linux build on the table both go through
// (tests/support/archive_cases.h).
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "package/package_archive.h"
#include "support/archive_cases.h"
#include "workspace/filesystem.h"

namespace provision {
namespace {

namespace fs = std::filesystem;

TEST(PackageArchiveWin32, ChecksEachArchiveByItsUtf8NameAsTheLinuxBuildDoes) {
  // "Pakete für 校准" in UTF-8.
  const fs::path folder = fs::temp_directory_path() /
                          ("provision-" + std::to_string(GetCurrentProcessId())) /
                          toFsPath("Pakete f\xc3\xbcr \xe6\xa0\xa1\xe5\x87\x86");
  fs::create_directories(folder);
  const std::u8string name = (folder / "QMServer_V3.1.zip").u8string();
  const std::string path(name.begin(), name.end());
  for (const test::ArchiveCase& row : test::archiveCases()) {
    std::ofstream(toFsPath(path), std::ios::binary | std::ios::trunc) << row.bytes;
    const ArchiveCheck check = checkPackageArchive(path);
    EXPECT_EQ(check.sound, row.problem.empty()) << row.what << ": " << check.problem;
    EXPECT_TRUE(check.problem.starts_with(row.problem)) << row.what << ": " << check.problem;
  }
  fs::remove_all(folder.parent_path());
}

}  // namespace
}  // namespace provision
