#include "package/file_digest.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "package/digest_file.h"
#include "support/files.h"

namespace provision {
namespace {

namespace fs = std::filesystem;

// The expected digests are those of `sha256sum -- NAMES | sha256sum` run on the same files in the
// C locale.
TEST(FileDigest, SetDigestCoversNamesAndContentsInByteOrderOfTheNames) {
  char made[] = "/tmp/file-digest-XXXXXX";
  ASSERT_NE(::mkdtemp(made), nullptr);
  const std::string folder = made;
  test::writeText(folder + "/gain.cal", "gain 1.02\n");
  test::writeText(folder + "/g.cal", "gain 1.02\n");
  test::writeText(folder + "/device.json", "{\"unit\":\"7F3A90C1\"}\n");
  test::writeText(folder + "/empty.ini", "");
  test::writeText(folder +
                      "/Pr\xC3\xBC"
                      "f stand.cfg",
                  "x");

  const struct {
    const char* what;
    std::vector<std::string> names;
    std::string digest;
  } rows[] = {
      {"no file: the digest of an empty list",
       {},
       "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"one file",
       {"gain.cal"},
       "000c5ee5d4d937fd529140fd3e6b96223b2fc43b9d3608fb525b1d3d770f1fd6"},
      {"two, given out of order",
       {"gain.cal", "device.json"},
       "f3165cd24e1a2c847d5ed131006567b6f84e471511ad3d0aaf7dee2be7689816"},
      {"the same contents under another name",
       {"g.cal", "device.json"},
       "c89a5a966d9a9088440ee6dcd00636154cc4c7a1a9202f2d4770f9ac890ae156"},
      {"an empty file, and a name with a blank and an umlaut that sorts before lower case",
       {"gain.cal", "empty.ini",
        "Pr\xC3\xBC"
        "f stand.cfg",
        "device.json"},
       "4308dce9889df0d31da3363c00cfcdc086f547dcf272a3d2722ffa8fe026e020"},
      {"a file that is not there", {"gain.cal", "missing.cal"}, ""},
      {"a folder", {"."}, ""},
  };
  for (const auto& row : rows) EXPECT_EQ(fileSetSha256(folder, row.names), row.digest) << row.what;
  EXPECT_EQ(fileSha256(folder + "/empty.ini"),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  fs::remove_all(folder);
}

}  // namespace
}  // namespace provision

namespace provision {
namespace {

// The publisher's digest file beside a package, as sha256sum writes it on Linux and on Windows.
TEST(DigestFile, GivesThePackagesDigestOrSaysWhyNot) {
  const std::string digest = "4f6b0a" + std::string(58, '1');
  const std::string upper = "4F6B0A" + std::string(58, '1');
  const struct {
    const char* what;
    std::string content;
    std::string digest;
    std::string problem;
  } rows[] = {
      {"sha256sum's line", digest + "  Pkg.zip\n", digest, ""},
      {"binary mode, CR LF, a byte-order mark, upper case",
       "\xEF\xBB\xBF" + upper + " *Pkg.zip\r\n", digest, ""},
      {"a line per file of a build's folder",
       std::string(64, 'a') + "  Other.zip\n" + digest + "  Pkg.zip\n", digest, ""},
      {"no line for the package", std::string(64, 'a') + "  Other.zip\n", "",
       "names no SHA-256 of Pkg.zip"},
      {"an empty file", "", "", "names no SHA-256 of Pkg.zip"},
      {"a name that only ends like the package's", digest + "  Old_Pkg.zip\n", "",
       "names no SHA-256 of Pkg.zip"},
      {"one blank between", digest + " Pkg.zip\n", "", "names no SHA-256 of Pkg.zip"},
      {"no hex digits", std::string(64, 'g') + "  Pkg.zip\n", "",
       "gives \"" + std::string(64, 'g') + "\" for Pkg.zip, which is no SHA-256"},
      {"two digests for the package", digest + "  Pkg.zip\n" + std::string(64, 'a') + "  Pkg.zip\n",
       "", "gives two different SHA-256 for Pkg.zip"},
      {"something else saved under its name", std::string(kDigestFileLimit + 1, 'x'), "",
       "is larger than 65536 bytes: it is no digest file"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    std::string found = "unchanged";
    EXPECT_EQ(digestFor(row.content, "Pkg.zip", found), row.problem);
    EXPECT_EQ(found, row.digest);
  }
  EXPECT_EQ(digestFileName("QMServer_V3.1.zip"), "QMServer_V3.1.zip.sha256");
}

}  // namespace
}  // namespace provision
