#include "log/text.h"

#include <gtest/gtest.h>

namespace provision {
namespace {

TEST(Text, OnlyWellFormedUtf8IsUtf8AndTheRestIsShownAsQuestionMarks) {
  const struct {
    const char* what;
    std::string text;
    bool utf8;
    std::string shown;
  } rows[] = {
      {"ASCII", "QMServer_V3.1.zip", true, "QMServer_V3.1.zip"},
      {"two, three and four bytes",
       "Pr\xC3\xBC"
       "fung \xE2\x82\xAC \xF0\x9F\x94\xA7",
       true,
       "Pr\xC3\xBC"
       "fung \xE2\x82\xAC \xF0\x9F\x94\xA7"},
      {"Latin-1, as Notepad's ANSI saves it",
       "Pr\xFC"
       "fung",
       false, "Pr?fung"},
      {"an overlong slash",
       "a\xC0\xAF"
       "b",
       false, "a??b"},
      {"a surrogate", "\xED\xA0\x80", false, "???"},
      {"above U+10FFFF", "\xF4\x90\x80\x80", false, "????"},
      {"cut off at the end", "ok\xE2\x82", false, "ok??"},
      {"control characters are UTF-8, but not shown", "a\x1b[2Jb\x7f\n", true, "a?[2Jb??"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(isUtf8(row.text), row.utf8) << row.what;
    EXPECT_EQ(printable(row.text), row.shown) << row.what;
    EXPECT_TRUE(isUtf8(printable(row.text))) << row.what;
  }
}

}  // namespace
}  // namespace provision
