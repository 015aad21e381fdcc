#include "log/csv.h"

namespace provision {

std::string csvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

std::string csvRecord(const std::vector<std::string>& fields) {
  std::string record;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) record += ',';
    record += csvField(fields[i]);
  }
  return record;
}

namespace {

constexpr const char* kByteOrderMark = "\xEF\xBB\xBF";

// Reads records one character at a time; a quote opens a quoted stretch of the current field,
// two quotes inside it stand for one.
class CsvReader {
 public:
  explicit CsvReader(const std::string& text) : text_(text) {}

  std::vector<std::vector<std::string>> records() {
    std::size_t at = text_.starts_with(kByteOrderMark) ? 3 : 0;
    recordStart_ = at;
    while (at < text_.size()) at = step(at);
    // A last record without a line end.
    if (recordStart_ < text_.size()) endRecord();
    return std::move(records_);
  }

 private:
  // Takes the character at `at`; returns where the next one is.
  std::size_t step(std::size_t at) {
    const char c = text_[at];
    if (quoted_) {
      if (c != '"') {
        field_ += c;
      } else if (at + 1 < text_.size() && text_[at + 1] == '"') {
        field_ += '"';
        return at + 2;
      } else {
        quoted_ = false;
      }
      return at + 1;
    }
    switch (c) {
      case '"':
        quoted_ = true;
        break;
      case ',':
        endField();
        break;
      case '\r':
        if (at + 1 < text_.size() && text_[at + 1] == '\n') break;
        field_ += c;
        break;
      case '\n':
        endRecord();
        recordStart_ = at + 1;
        break;
      default:
        field_ += c;
    }
    return at + 1;
  }

  void endField() {
    record_.push_back(std::move(field_));
    field_.clear();
  }

  void endRecord() {
    endField();
    records_.push_back(std::move(record_));
    record_.clear();
  }

  const std::string& text_;
  std::size_t recordStart_ = 0;
  bool quoted_ = false;
  std::string field_;
  std::vector<std::string> record_;
  std::vector<std::vector<std::string>> records_;
};

}  // namespace

std::vector<std::vector<std::string>> parseCsv(const std::string& text) {
  return CsvReader(text).records();
}

}  // namespace provision
