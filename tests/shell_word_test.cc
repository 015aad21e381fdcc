// Names going into the device's command lines: one word each, never expanded, never an option.
#include "device/shell_word.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "support/process.h"

namespace provision {
namespace {

// The words that /bin/sh, the device's kind of shell, makes of `words` on a command line.
std::vector<std::string> parsedByShell(const std::string& words) {
  const test::ProcessResult shell = test::runProcess({"/bin/sh", "-c", "printf '%s\\0' " + words});
  EXPECT_EQ(shell.status, 0) << words;
  std::vector<std::string> parsed;
  for (size_t start = 0; start < shell.out.size();) {
    const size_t end = shell.out.find('\0', start);
    parsed.push_back(shell.out.substr(start, end - start));
    start = end + 1;
  }
  return parsed;
}

// Names a package server or a device could hand out: any byte but NUL (no argument holds one),
// with the shell's special characters, blanks, quotes, leading dashes and line breaks common.
std::vector<std::string> generatedNames(int count) {
  static const std::string kFavourites = "'\"\\ \t\n$`*?[]{}~#;&|<>()!=%-.";
  std::mt19937 random(20261208);
  std::vector<std::string> names;
  for (int i = 0; i < count; ++i) {
    std::string name;
    const auto length = 1 + random() % 12;
    for (unsigned long j = 0; j < length; ++j) {
      const auto pick = static_cast<unsigned>(random());
      name += pick % 2 ? kFavourites[pick / 2 % kFavourites.size()]
                       : static_cast<char>(1 + pick / 2 % 255);
    }
    names.push_back(name);
  }
  return names;
}

TEST(ShellWord, EveryNameReachesTheShellAsExactlyItself) {
  const std::vector<std::string> names = generatedNames(400);
  std::string words;
  for (const std::string& name : names) words += shellWord(name) + " ";
  EXPECT_EQ(parsedByShell(words), names);

  // As a file, the name never begins with "-", so no command reads it as an option.
  words.clear();
  for (const std::string& name : names) words += fileWord("", name) + " ";
  const std::vector<std::string> files = parsedByShell(words);
  ASSERT_EQ(files.size(), names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(files[i], names[i][0] == '-' ? "./" + names[i] : names[i]);
  }

  // Paths of such names: the same path, whatever their names hold.
  words.clear();
  std::vector<std::string> paths;
  for (size_t i = 0; i + 1 < names.size(); i += 2) {
    paths.push_back((i % 4 == 0 ? "/" : "") + names[i] + "/" + names[i + 1]);
    words += pathWord(paths.back()) + " ";
  }
  EXPECT_EQ(parsedByShell(words), paths);
}

TEST(ShellWord, PlainNamesGoInAsTheyStandAndOthersQuoted) {
  for (const char* plain : {"QMServer_V3.1.zip", "ZRConfig_CN_V2.0.zip", "CN", "a+b-c.d_1", ""})
    EXPECT_EQ(shellWord(plain), plain);
  EXPECT_EQ(shellWord("QMServer_V1.4.2 (2).zip"), "'QMServer_V1.4.2 (2).zip'");
  EXPECT_EQ(shellWord("-x.zip"), "'-x.zip'");
  EXPECT_EQ(fileWord("/root/", "Pkg.zip"), "/root/Pkg.zip");
  EXPECT_EQ(fileWord("/root/", "*"), "/root/'*'");
  EXPECT_EQ(fileWord("", "-rf"), "./'-rf'");
  EXPECT_EQ(pathWord("QMServer/bin/QMServer"), "QMServer/bin/QMServer");
  EXPECT_EQ(pathWord("/opt/.provision-0a1b.part/"), "/opt/.provision-0a1b.part/");
  EXPECT_EQ(pathWord("Kanal 1/gain.cal"), "'Kanal 1'/gain.cal");
  EXPECT_EQ(grepPattern("51"), "51");
  EXPECT_EQ(grepPattern("-v"), "-e '-v'");
  EXPECT_EQ(grepPattern("a b"), "-e 'a b'");
}

}  // namespace
}  // namespace provision
