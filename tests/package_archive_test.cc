#include "workspace/package_archive.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/files.h"
#include "support/zip_builder.h"

namespace provision {
namespace {

using test::flipByteIn;
using test::makeZip;
using test::ZipEntry;

const std::string kProgram = test::patterned(70000);

// A package as the workflows get them: a folder, a script, a program.
std::string package(bool storedProgram = false) {
  return makeZip({{"QMServer/", ""},
                  {"QMServer/install.sh", "#!/bin/sh\necho installed\n"},
                  {"QMServer/bin/QMServer", kProgram, storedProgram}});
}

TEST(PackageArchive, OnlyAWholeArchiveWithFilesIsSound) {
  const std::string sound = package();
  struct Row {
    const char* what;
    std::string bytes;
    bool sound;
    std::string problem;  // the start of the problem's text
  } rows[] = {
      {"a sound package", sound, true, ""},
      {"a sound package with a stored entry", package(true), true, ""},
      {"cut short, as a broken upload to the server leaves it", sound.substr(0, sound.size() / 2),
       false, "it cannot be read as a zip archive ("},
      {"its last byte missing", sound.substr(0, sound.size() - 1), false,
       "it cannot be read as a zip archive ("},
      {"a flipped byte in a stored entry", flipByteIn(package(true), kProgram), false,
       "its entry QMServer/bin/QMServer is damaged (CRC error)"},
      {"a flipped byte in a deflated entry's data",
       flipByteIn(sound, sound.substr(sound.size() / 3, 64)), false,
       "its entry QMServer/bin/QMServer is damaged ("},
      {"an empty file", "", false, "it holds no files"},
      {"an archive without entries", makeZip({}), false, "it holds no files"},
      {"a text file", "QMServer_V3.1.zip\n", false, "it cannot be read as a zip archive ("},
  };
  for (const Row& row : rows) {
    const ArchiveCheck check = checkPackageArchive(row.bytes.data(), row.bytes.size());
    EXPECT_EQ(check.sound, row.sound) << row.what;
    EXPECT_TRUE(check.problem.starts_with(row.problem)) << row.what << ": " << check.problem;
    EXPECT_EQ(check.problem.empty(), row.sound) << row.what;
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
