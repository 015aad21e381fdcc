// Comma-separated values as RFC 4180 has them, for the unit history: fields in double quotes where
// they need them, CR LF after each record.
#pragma once

#include <string>
#include <vector>

namespace provision {

// `text` as one field: as it stands, or in double quotes (its own doubled) when it holds a comma,
// a double quote, a carriage return or a line feed.
std::string csvField(const std::string& text);

// The fields as one record, separated by commas, without a line end.
std::string csvRecord(const std::vector<std::string>& fields);

// The records of `text`: fields separated by commas, records by CR LF or a lone LF, quoted fields
// with doubled quotes, line ends and commas inside. A byte-order mark at the start is dropped, and
// so is the line end after the last record.
std::vector<std::vector<std::string>> parseCsv(const std::string& text);

}  // namespace provision
