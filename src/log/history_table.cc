#include "log/history_table.h"

#include <algorithm>
#include <cctype>

#include "log/text.h"
#include "log/unit_history.h"

namespace provision {
namespace {

// The columns the table shows; the file has all of them.
constexpr HistoryColumn kShown[] = {
    kHistoryStart,
    kHistoryStation,
    kHistoryMode,
    kHistoryDeviceLine,
    kHistoryUid,
    kHistoryModelLabel,
    kHistoryServer,
    kHistoryPackage,
    kHistoryCalibrationFolder,
    kHistoryCalibrationFiles,
    kHistoryExitStatus,
    kHistorySeconds,
};
constexpr std::size_t kShownCount = sizeof kShown / sizeof kShown[0];
constexpr const char* kGap = "  ";

using Line = std::vector<std::string>;

// The number of characters of UTF-8 text, which is what its width on the console is for most
// scripts.
std::size_t widthOf(const std::string& text) {
  return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

bool sameUid(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::toupper(static_cast<unsigned char>(x)) ==
                  std::toupper(static_cast<unsigned char>(y));
         });
}

// Where each shown column is in the file's records; npos for one the file lacks.
std::vector<std::size_t> positionsIn(const std::vector<std::string>& header) {
  std::vector<std::size_t> positions;
  for (HistoryColumn column : kShown) {
    const auto found = std::find(header.begin(), header.end(), historyColumnNames()[column]);
    positions.push_back(found == header.end() ? std::string::npos
                                              : static_cast<std::size_t>(found - header.begin()));
  }
  return positions;
}

Line shownFields(const std::vector<std::string>& record,
                 const std::vector<std::size_t>& positions) {
  Line line;
  for (std::size_t position : positions)
    line.push_back(position < record.size() ? printable(record[position]) : std::string());
  return line;
}

std::string aligned(const std::vector<Line>& lines) {
  std::vector<std::size_t> widths(kShownCount, 0);
  for (const Line& line : lines)
    for (std::size_t i = 0; i < kShownCount; ++i) widths[i] = std::max(widths[i], widthOf(line[i]));
  std::string text;
  for (const Line& line : lines) {
    std::string out;
    for (std::size_t i = 0; i < kShownCount; ++i) {
      out += line[i];
      if (i + 1 < kShownCount) out += std::string(widths[i] - widthOf(line[i]), ' ') + kGap;
    }
    // A last column that is empty leaves no blanks behind.
    out.erase(out.find_last_not_of(' ') + 1);
    text += out + "\n";
  }
  return text;
}

}  // namespace

std::string historyTable(const std::vector<std::vector<std::string>>& records,
                         const std::string& uid) {
  if (records.empty()) return {};
  const std::vector<std::size_t> positions = positionsIn(records.front());
  const std::size_t uidAt =
      positions[std::find(kShown, kShown + kShownCount, kHistoryUid) - kShown];
  std::vector<Line> rows;
  for (auto record = records.begin() + 1; record != records.end(); ++record) {
    if (!uid.empty() && (uidAt >= record->size() || !sameUid((*record)[uidAt], uid))) continue;
    rows.push_back(shownFields(*record, positions));
  }
  if (rows.empty()) return {};
  if (uid.empty() && rows.size() > kHistoryShownRows)
    rows.erase(rows.begin(), rows.end() - kHistoryShownRows);

  std::vector<Line> lines{Line()};
  for (HistoryColumn column : kShown) lines.front().push_back(historyColumnNames()[column]);
  lines.insert(lines.end(), rows.begin(), rows.end());
  return aligned(lines);
}

}  // namespace provision
