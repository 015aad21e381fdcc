// The unit history of a technician's PC, as a reader other than the program's own sees it.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace provision::test {

// The columns of the history file, in their order.
extern const std::vector<std::string> kHistoryColumns;

using HistoryRecord = std::map<std::string, std::string>;

struct History {
  std::vector<HistoryRecord> rows;
  // What is wrong with the file: no byte-order mark, a line end other than CR LF, a header other
  // than kHistoryColumns, a row of another length, or what the reader said. Empty when nothing.
  std::string problem;
};

// The history file at `path`, read with Python's csv module.
History readHistory(const std::string& path);

// The SHA-256 of a file, and of a calibration set as the README defines it (the files `names` of
// `folder`), computed with Python's hashlib.
std::string sha256Of(const std::string& path);
std::string setSha256Of(const std::string& folder, const std::vector<std::string>& names);

// Checks the columns that every row has: the start time in ISO 8601 with an offset, this
// computer's name, the version, and a duration of at least `minSeconds`.
void expectRunColumns(const HistoryRecord& row, double minSeconds);

}  // namespace provision::test
