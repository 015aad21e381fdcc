#include "package/package_archive.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/archive_cases.h"
#include "support/files.h"
#include "support/zip_builder.h"

namespace provision {
namespace {

using test::flipByteIn;
using test::makeZip;

const std::string kProgram = test::patterned(70000);

// A package as the workflows get them: a folder, a script, a program.
std::string package(bool storedProgram = false) {
  return makeZip({{"QMServer/", ""},
                  {"QMServer/install.sh", "#!/bin/sh\necho installed\n"},
                  {"QMServer/bin/QMServer", kProgram, storedProgram}});
}

// The table the Windows build goes through too (package_archive_win32_test.cc).
TEST(PackageArchive, OnlyAWholeArchiveThatEveryUnzipUnpacksAlikeIsSound) {
  for (const test::ArchiveCase& row : test::archiveCases()) {
    const ArchiveCheck check = checkPackageArchive(row.bytes.data(), row.bytes.size());
    EXPECT_EQ(check.sound, row.problem.empty()) << row.what << ": " << check.problem;
    EXPECT_TRUE(check.problem.starts_with(row.problem)) << row.what << ": " << check.problem;
    EXPECT_EQ(check.problem.empty(), check.sound) << row.what;
  }
}

TEST(PackageArchive, ReadsTheLocalFileByItsUtf8Path) {
  const std::string folder = testing::TempDir() + "package_archive_test_\xC3\xBC";
  std::filesystem::create_directories(folder);
  const std::string path = folder +
                           "/QMServer_Pr\xC3\xBC"
                           "fung.zip";
  test::writeText(path, package());
  EXPECT_TRUE(checkPackageArchive(path).sound) << checkPackageArchive(path).problem;

  test::writeText(path, flipByteIn(package(true), kProgram));
  EXPECT_EQ(checkPackageArchive(path).problem,
            "its entry QMServer/bin/QMServer is damaged (CRC error)");

  const ArchiveCheck missing = checkPackageArchive(folder + "/none.zip");
  EXPECT_FALSE(missing.sound);
  EXPECT_FALSE(missing.problem.empty());
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace provision
