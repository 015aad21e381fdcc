// What the unit prints of the files it holds, and how it is matched with what this PC sent.
#include "install/unit_check.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "package/file_digest.h"

namespace provision {
namespace {

const std::string kA(64, 'a');
const std::string kB(64, 'b');

TEST(UnitCheck, EveryNameGoesInOnceAsOneWordAndLongListsAreSplit) {
  EXPECT_EQ(
      sha256sumCommands("/root/", {"QMServer/install.sh", "-rf x", "it's"}),
      std::vector<std::string>{"cd /root/ && sha256sum -- QMServer/install.sh '-rf x' 'it'\\''s'"});
  EXPECT_TRUE(sha256sumCommands("/root/", {}).empty());

  std::vector<std::string> names;
  for (int i = 0; i < 3000; ++i) names.push_back("QMServer/lib/module" + std::to_string(i) + ".so");
  const std::vector<std::string> commands = sha256sumCommands("/opt/", names);
  ASSERT_GT(commands.size(), 1u);
  std::size_t words = 0;
  for (const std::string& command : commands) {
    EXPECT_LE(command.size(), 32u * 1024) << "a line that an SSH server takes";
    EXPECT_TRUE(command.starts_with("cd /opt/ && sha256sum -- QMServer/lib/module"));
    words += static_cast<std::size_t>(std::count(command.begin(), command.end(), ' ')) - 4;
  }
  EXPECT_EQ(words, names.size());
}

TEST(UnitCheck, TheUnitsLinesAreMatchedFileByFile) {
  const std::string output = kA + "  QMServer/install.sh\n" + kB +
                             "  Verst\xC3\xA4rkung Kanal 1.cal\n"
                             "sha256sum: QMServer/bin/QMServer: No such file or directory\n"
                             "\\" +
                             kA + "  a\\\\b\n" + "ABC  short\n";
  const std::map<std::string, std::string> digests = readSha256sumLines(output);
  EXPECT_EQ(digests, (std::map<std::string, std::string>{{"QMServer/install.sh", kA},
                                                         {"Verst\xC3\xA4rkung Kanal 1.cal", kB}}));

  const struct {
    std::vector<ArchiveFile> expected;
    std::string problem;
  } rows[] = {
      {{{"QMServer/install.sh", kA}}, ""},
      {{{"QMServer/install.sh", kA}, {"QMServer/bin/QMServer", kB}},
       "its file QMServer/bin/QMServer is not on the unit"},
      {{{"Verst\xC3\xA4rkung Kanal 1.cal", kA}},
       "its file Verst\xC3\xA4rkung Kanal 1.cal differs on the unit (SHA-256 bbbbbbbbbbbb... "
       "there, aaaaaaaaaaaa... here)"},
  };
  for (const auto& row : rows) EXPECT_EQ(digestMismatch(row.expected, digests), row.problem);
}

// The set's SHA-256 from the unit's lines is the one this PC takes of the same files.
TEST(UnitCheck, SetDigestFromTheUnitsLinesIsThePcs) {
  char name[] = "/tmp/unit-check-XXXXXX";
  ASSERT_NE(::mkdtemp(name), nullptr);
  const std::filesystem::path folder = name;
  const std::vector<std::string> names = {"gain.cal", "NOTES.TDMS",
                                          "Verst\xC3\xA4rkung Kanal 1.cal"};
  std::map<std::string, std::string> digests;
  for (const std::string& file : names) {
    std::ofstream(folder / std::filesystem::path(std::u8string(file.begin(), file.end())))
        << file << " of the unit";
    digests[file] = sha256Hex(file + " of the unit");
  }
  EXPECT_EQ(setSha256(digests), fileSetSha256(folder.string(), names));
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace provision
