// The unit history on the console: some of a unit's rows, or the last ones, as an aligned table
// (provision --history).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace provision {

// How many of the last rows the table shows when it is not asked for one unit.
inline constexpr std::size_t kHistoryShownRows = 20;

// The table of the history file's `records` (its header row first, as parseCsv() gives them): the
// rows of the unit `uid` (letters in either case), or, with an empty `uid`, the last
// kHistoryShownRows, under a header line, with the columns that tell what happened to which unit
// when. Columns are found by their header names, so a file with more columns reads as well.
// Empty when no row is shown.
std::string historyTable(const std::vector<std::vector<std::string>>& records,
                         const std::string& uid);

}  // namespace provision
