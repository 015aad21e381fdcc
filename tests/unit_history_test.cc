#include "log/unit_history.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <set>
#include <sstream>

#include "log/csv.h"
#include "log/history_table.h"
#include "support/files.h"

namespace provision {
namespace {

namespace fs = std::filesystem;

TEST(UnitHistory, StartTimeIsLocalWithItsOffsetFromUtc) {
  // POSIX zone rules, so that no zone database is needed.
  const struct {
    const char* zone;
    std::time_t time;
    const char* text;
  } rows[] = {
      {"UTC0", 1796711135, "2026-12-08T06:25:35+00:00"},
      {"CET-1CEST,M3.5.0,M10.5.0/3", 1796711135, "2026-12-08T07:25:35+01:00"},
      {"CET-1CEST,M3.5.0,M10.5.0/3", 1782000000, "2026-06-21T02:00:00+02:00"},
      {"IST-5:30", 1796711135, "2026-12-08T11:55:35+05:30"},
      {"NST3:30NDT,M3.2.0,M11.1.0", 1796711135, "2026-12-08T02:55:35-03:30"},
      {"NST3:30NDT,M3.2.0,M11.1.0", 1782000000, "2026-06-20T21:30:00-02:30"},
  };
  for (const auto& row : rows) {
    setenv("TZ", row.zone, 1);
    tzset();
    EXPECT_EQ(historyTime(row.time), row.text) << row.zone;
  }
  unsetenv("TZ");
  tzset();
}

HistoryRow rowOf(const std::string& station, const std::string& uid, int number) {
  HistoryRow row;
  row[kHistoryStart] = "2026-12-08T06:45:" + std::to_string(10 + number) + "+01:00";
  row[kHistoryStation] = station;
  row[kHistoryMode] = "2";
  row[kHistoryUid] = uid;
  row[kHistoryModelLabel] = uid.empty() ? "" : "K700_R5_V3(051)";
  row[kHistoryPackage] = "run " + std::to_string(number);
  row[kHistoryMeaning] =
      "the device could not install the package, or could not put the unit's "
      "calibration into effect";
  row[kHistorySeconds] = "38.0";
  return row;
}

// Appends kRows rows as station "PC<writer>" in a process of its own, once the pipe `start` is
// closed. The caller waits for it.
constexpr int kRows = 5;
pid_t startWriter(const std::string& path, int writer, const int start[2]) {
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  ::close(start[1]);
  char go;
  bool all = ::read(start[0], &go, 1) == 0;
  for (int i = 0; i < kRows; ++i)
    all = appendHistoryRow(path, rowOf("PC" + std::to_string(writer), "7F3A90C1", i)) && all;
  ::_exit(all ? 0 : 1);
}

// Several stations appending to one new file at once: one header, and every row whole.
TEST(UnitHistory, WritersAtTheSameTimeShareOneHeaderAndKeepTheirRowsWhole) {
  const std::string path =
      fs::temp_directory_path() / ("history-" + std::to_string(::getpid()) + ".csv");
  constexpr int kWriters = 4, kRounds = 20;
  for (int round = 0; round < kRounds; ++round) {
    fs::remove(path);
    int start[2];
    ASSERT_EQ(::pipe(start), 0);
    std::vector<pid_t> writers;
    for (int writer = 0; writer < kWriters; ++writer)
      writers.push_back(startWriter(path, writer, start));
    ::close(start[0]);
    ::close(start[1]);
    for (pid_t pid : writers) {
      int status = 0;
      ASSERT_EQ(::waitpid(pid, &status, 0), pid);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }

    const std::string text = test::readText(path);
    ASSERT_TRUE(
        text.starts_with("\xEF\xBB\xBF"
                         "start,station,version,commit,mode,"))
        << text;
    ASSERT_EQ(test::countOf(text, "\xEF\xBB\xBF"), 1) << "round " << round << "\n" << text;
    EXPECT_EQ(test::countOf(text, "\n"), test::countOf(text, "\r\n"));
    const std::vector<std::vector<std::string>> records = parseCsv(text);
    ASSERT_EQ(records.size(), 1u + kWriters * kRows);
    std::set<std::string> seen;
    for (std::size_t i = 1; i < records.size(); ++i) {
      ASSERT_EQ(records[i].size(), std::size_t{kHistoryColumnCount}) << i;
      const HistoryRow expected = rowOf(records[i][kHistoryStation], "7F3A90C1",
                                        std::stoi(records[i][kHistoryPackage].substr(4)));
      EXPECT_TRUE(std::equal(expected.begin(), expected.end(), records[i].begin())) << i;
      seen.insert(records[i][kHistoryStation] + " " + records[i][kHistoryPackage]);
    }
    EXPECT_EQ(seen.size(), std::size_t{kWriters * kRows});
  }
  fs::remove(path);

  // A file that cannot be written.
  fs::create_directory(path);
  EXPECT_FALSE(appendHistoryRow(path, rowOf("PC", "", 0)));
  fs::remove(path);
}

// A write that a full disk cuts short leaves nothing of the row, and a row that an older version
// left without its line end does not swallow the next one.
TEST(UnitHistory, ARowIsWrittenWholeOrNotAtAll) {
  const std::string path =
      fs::temp_directory_path() / ("history-whole-" + std::to_string(::getpid()) + ".csv");
  fs::remove(path);
  ASSERT_TRUE(appendHistoryRow(path, rowOf("PC", "7F3A90C1", 0)));
  const std::string before = test::readText(path);

  // A file that may not grow by more than a few bytes, as on a disk that is full.
  const pid_t writer = ::fork();
  if (writer == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlim_t limit = static_cast<rlim_t>(before.size() + 20);
    const rlimit size{limit, limit};
    ::setrlimit(RLIMIT_FSIZE, &size);
    ::_exit(appendHistoryRow(path, rowOf("PC", "7F3A90C1", 1)) ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(writer, &status, 0), writer);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the short write is a failure";
  EXPECT_EQ(test::readText(path), before);

  for (const char* cut : {"2026-12-08T06:45:30+01:00,PC,1.0", "2026-12-08T06:45:30+01:00\r"}) {
    test::writeText(path, before + cut);
    ASSERT_TRUE(appendHistoryRow(path, rowOf("PC", "7F3A90C1", 2)));
    const std::string text = test::readText(path);
    EXPECT_EQ(test::countOf(text, "\n"), test::countOf(text, "\r\n")) << text;
    const std::vector<std::vector<std::string>> records = parseCsv(text);
    ASSERT_EQ(records.size(), 4u) << text;
    EXPECT_EQ(records[3][kHistoryPackage], "run 2");
  }
  fs::remove(path);
}

TEST(HistoryTable, ShowsAUnitsRowsOrTheLastOnesInAlignedColumns) {
  const std::string umlauts =
      "Pr\xC3\xBC"
      "fstand";
  // A later version's column before the others is passed over.
  std::vector<std::vector<std::string>> records{{"later_column"}};
  records[0].insert(records[0].end(), historyColumnNames().begin(), historyColumnNames().end());
  for (int i = 0; i < 24; ++i) {
    const HistoryRow row = rowOf(i == 4 ? umlauts : "PC", i % 2 == 0 ? "A1B2C3D4" : "7F3A90C1", i);
    records.push_back({"x"});
    records.back().insert(records.back().end(), row.begin(), row.end());
  }
  const struct {
    const char* uid;
    std::size_t rows;
    const char* first;  // the package column of the first and the last row shown
    const char* last;
  } rows[] = {{"a1b2c3d4", 12, "run 0 ", "run 22"}, {"", kHistoryShownRows, "run 4 ", "run 23"}};
  for (const auto& row : rows) {
    std::istringstream table(historyTable(records, row.uid));
    std::vector<std::string> lines;
    for (std::string line; std::getline(table, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 1 + row.rows) << row.uid;
    EXPECT_TRUE(
        lines[0].starts_with("start                      station    mode  device_line  uid"))
        << lines[0];
    EXPECT_NE(lines[1].find(row.first), std::string::npos) << lines[1];
    EXPECT_NE(lines.back().find(row.last), std::string::npos) << lines.back();
    // The package column starts at the same character in every line, umlauts before it or not.
    const std::size_t packageAt = lines[0].find("package ");
    for (auto line = lines.begin() + 1; line != lines.end(); ++line)
      EXPECT_EQ(line->find("run ") - static_cast<std::size_t>(test::countOf(*line, "\xC3\xBC")),
                packageAt)
          << *line;
  }
  EXPECT_EQ(historyTable(records, "7F3A90C"), "");
}

}  // namespace
}  // namespace provision
