#include "log/csv.h"

#include <gtest/gtest.h>

namespace provision {
namespace {

TEST(Csv, FieldsAreQuotedOnlyWhereTheyNeedItAndReadBackAsWritten) {
  const struct {
    const char* what;
    std::string field;
    std::string written;
  } rows[] = {
      {"plain", "ZRConfig_CN_V2.0.zip", "ZRConfig_CN_V2.0.zip"},
      {"empty", "", ""},
      {"umlauts and blanks at either end",
       " Pr\xC3\xBC"
       "fstand 3 ",
       " Pr\xC3\xBC"
       "fstand 3 "},
      {"a comma", "K700_R5,V3", "\"K700_R5,V3\""},
      {"double quotes", "say \"hi\"", "\"say \"\"hi\"\"\""},
      {"only a quote", "\"", "\"\"\"\""},
      {"a line feed", "two\nlines", "\"two\nlines\""},
      {"a carriage return", "a\rb", "\"a\rb\""},
      {"CR LF", "a\r\nb", "\"a\r\nb\""},
  };
  std::vector<std::string> fields;
  for (const auto& row : rows) {
    EXPECT_EQ(csvField(row.field), row.written) << row.what;
    fields.push_back(row.field);
  }
  // All of them in one record, twice, behind a byte-order mark and with CR LF after each record.
  const std::string record = csvRecord(fields);
  const std::vector<std::vector<std::string>> read =
      parseCsv("\xEF\xBB\xBF" + record + "\r\n" + record + "\r\n");
  ASSERT_EQ(read.size(), 2u);
  EXPECT_EQ(read[0], fields);
  EXPECT_EQ(read[1], fields);
}

TEST(Csv, RecordsEndWithCrLfOrALoneLineFeedAndTheLastMayHaveNone) {
  using Records = std::vector<std::vector<std::string>>;
  EXPECT_EQ(parseCsv("a,b\nc,d"), (Records{{"a", "b"}, {"c", "d"}}));
  EXPECT_EQ(parseCsv("a,\r\n,\r\n\"\""), (Records{{"a", ""}, {"", ""}, {""}}));
  EXPECT_EQ(parseCsv(""), Records{});
}

}  // namespace
}  // namespace provision
