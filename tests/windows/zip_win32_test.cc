// libzip and zlib as the Windows build links them (static, ZIP_STATIC): an archive in a folder
// whose name has blanks and non-ASCII letters, opened by its UTF-8 name (libzip 1.7 converts a
// name from UTF-8 and opens it with the wide Win32 calls) and from a FILE*, every entry read back
// against its CRC-32, and the damage a package check has to find.
#include <gtest/gtest.h>
#include <windows.h>
#include <zip.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "workspace/filesystem.h"
#include "workspace/wide_text-win32.h"

namespace provision {
namespace {

namespace fs = std::filesystem;

// "Pakete für 校准" in UTF-8.
const std::string kFolderName = "Pakete f\xc3\xbcr \xe6\xa0\xa1\xe5\x87\x86";

// An entry's content that deflates well, and one stored as it is.
const std::string kDeflated = std::string(64 * 1024, 'a') + "install.sh\n";
const std::string kStored = "#!/bin/sh\necho stored\n";

class Win32Zip : public testing::Test {
 protected:
  void SetUp() override {
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    folder_ = fs::temp_directory_path() /
              ("provision-" + std::to_string(GetCurrentProcessId()) + "-" + info->name());
    fs::remove_all(folder_);
    fs::create_directories(folder_ / toFsPath(kFolderName));
    const std::u8string name = (folder_ / toFsPath(kFolderName) / "QMServer_V3.1.zip").u8string();
    archive_ = std::string(name.begin(), name.end());
  }
  void TearDown() override { fs::remove_all(folder_); }

  // Writes the archive with libzip itself: one deflated and one stored entry.
  void writeArchive() {
    int error = 0;
    zip_t* zip = zip_open(archive_.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    ASSERT_NE(zip, nullptr) << "zip_open error " << error;
    add(zip, "QMServer/install.sh", kDeflated, ZIP_CM_DEFLATE);
    add(zip, "QMServer/run.sh", kStored, ZIP_CM_STORE);
    ASSERT_EQ(zip_close(zip), 0) << zip_strerror(zip);
  }

  static void add(zip_t* zip, const char* name, const std::string& data, zip_int32_t method) {
    zip_source_t* source = zip_source_buffer(zip, data.data(), data.size(), 0);
    ASSERT_NE(source, nullptr);
    zip_int64_t index = zip_file_add(zip, name, source, ZIP_FL_ENC_UTF_8);
    ASSERT_GE(index, 0) << zip_strerror(zip);
    ASSERT_EQ(zip_set_file_compression(zip, static_cast<zip_uint64_t>(index), method, 0), 0);
  }

  std::vector<char> bytes() const {
    std::ifstream in(toFsPath(archive_), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  void setBytes(const std::vector<char>& data) const {
    std::ofstream(toFsPath(archive_), std::ios::binary | std::ios::trunc)
        .write(data.data(), static_cast<std::streamsize>(data.size()));
  }

  fs::path folder_;
  std::string archive_;  // UTF-8
};

// Reads every entry whole; libzip compares each one's CRC-32 with the central directory's at its
// end. Returns the contents, or the first libzip error code.
struct ReadResult {
  int error = ZIP_ER_OK;
  std::vector<std::string> contents;
};

ReadResult readAll(zip_t* zip) {
  ReadResult result;
  const zip_int64_t count = zip_get_num_entries(zip, 0);
  for (zip_uint64_t i = 0; i < static_cast<zip_uint64_t>(count); ++i) {
    zip_file_t* file = zip_fopen_index(zip, i, 0);
    if (file == nullptr) {
      result.error = zip_error_code_zip(zip_get_error(zip));
      return result;
    }
    std::string content;
    char buffer[4096];
    zip_int64_t n;
    while ((n = zip_fread(file, buffer, sizeof(buffer))) > 0) {
      content.append(buffer, static_cast<size_t>(n));
    }
    if (n < 0) result.error = zip_error_code_zip(zip_file_get_error(file));
    zip_fclose(file);
    if (result.error != ZIP_ER_OK) return result;
    result.contents.push_back(content);
  }
  return result;
}

TEST_F(Win32Zip, OpensAnArchiveByItsUtf8NameAndFromAFilePointer) {
  writeArchive();
  ASSERT_TRUE(fs::is_regular_file(toFsPath(archive_)));

  int error = 0;
  zip_t* byName = zip_open(archive_.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &error);
  ASSERT_NE(byName, nullptr) << "zip_open error " << error;
  ASSERT_EQ(zip_get_num_entries(byName, 0), 2);
  EXPECT_STREQ(zip_get_name(byName, 0, 0), "QMServer/install.sh");
  zip_stat_t stat;
  ASSERT_EQ(zip_stat_index(byName, 0, 0, &stat), 0);
  EXPECT_EQ(stat.comp_method, ZIP_CM_DEFLATE);
  EXPECT_LT(stat.comp_size, stat.size);
  EXPECT_EQ(stat.crc, crc32(0, reinterpret_cast<const Bytef*>(kDeflated.data()),
                            static_cast<uInt>(kDeflated.size())));
  ReadResult read = readAll(byName);
  EXPECT_EQ(read.error, ZIP_ER_OK);
  EXPECT_EQ(read.contents, (std::vector<std::string>{kDeflated, kStored}));
  zip_discard(byName);

  // The same archive through a FILE* the caller opened with the wide name: libzip then takes
  // no name at all.
  FILE* file = _wfopen(widenUtf8(archive_).c_str(), L"rb");
  ASSERT_NE(file, nullptr);
  zip_error_t zipError;
  zip_error_init(&zipError);
  zip_source_t* source = zip_source_filep_create(file, 0, -1, &zipError);
  ASSERT_NE(source, nullptr) << zip_error_strerror(&zipError);
  zip_t* fromFile = zip_open_from_source(source, ZIP_RDONLY | ZIP_CHECKCONS, &zipError);
  ASSERT_NE(fromFile, nullptr) << zip_error_strerror(&zipError);
  read = readAll(fromFile);
  EXPECT_EQ(read.error, ZIP_ER_OK);
  EXPECT_EQ(read.contents, (std::vector<std::string>{kDeflated, kStored}));
  zip_discard(fromFile);  // closes the FILE* with the source
  zip_error_fini(&zipError);

  // A name that is not UTF-8 (a lone Latin-1 "ü") is refused as invalid, not taken in the
  // ANSI code page.
  const std::string latin1 = archive_.substr(0, archive_.find(kFolderName)) + "Pakete f\xfcr.zip";
  EXPECT_EQ(zip_open(latin1.c_str(), ZIP_RDONLY, &error), nullptr);
  EXPECT_EQ(error, ZIP_ER_INVAL);
}

TEST_F(Win32Zip, FindsADamagedEntryAndACutArchive) {
  writeArchive();
  const std::vector<char> good = bytes();

  // One byte of the stored entry's data changed: the archive opens, reading that entry fails
  // its CRC-32, the deflated one still reads.
  std::vector<char> damaged = good;
  auto at = std::search(damaged.begin(), damaged.end(), kStored.begin(), kStored.end());
  ASSERT_NE(at, damaged.end());
  at[2] = 'X';
  setBytes(damaged);
  int error = 0;
  zip_t* zip = zip_open(archive_.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &error);
  ASSERT_NE(zip, nullptr) << "zip_open error " << error;
  ReadResult read = readAll(zip);
  EXPECT_EQ(read.error, ZIP_ER_CRC);
  EXPECT_EQ(read.contents, (std::vector<std::string>{kDeflated}));
  zip_discard(zip);

  // Cut before the end of the central directory: not an archive any more.
  std::vector<char> cut(good.begin(), good.end() - 10);
  setBytes(cut);
  EXPECT_EQ(zip_open(archive_.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &error), nullptr);
  EXPECT_TRUE(error == ZIP_ER_NOZIP || error == ZIP_ER_INCONS) << error;
}

}  // namespace
}  // namespace provision
