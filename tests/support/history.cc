#include "support/history.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <regex>

#include "support/process.h"

namespace provision::test {
namespace {

// Writes the records with \x1e between them and \x1f between fields, or what is wrong on
// standard error.
constexpr const char* kReader = R"(
import csv, sys
data = open(sys.argv[1], 'rb').read()
problems = []
if not data.startswith(b'\xef\xbb\xbf'):
    problems.append('no byte-order mark')
if data.count(b'\n') != data.count(b'\r\n'):
    problems.append('a line end other than CR LF')
with open(sys.argv[1], encoding='utf-8-sig', newline='') as f:
    rows = list(csv.reader(f, strict=True))
if any('\x1e' in field or '\x1f' in field for row in rows for field in row):
    problems.append('a separator of this reader in a field')
if problems:
    sys.exit('; '.join(problems))
sys.stdout.write('\x1e'.join('\x1f'.join(row) for row in rows))
)";

constexpr const char* kFileDigest = R"(
import hashlib, sys
print(hashlib.sha256(open(sys.argv[1], 'rb').read()).hexdigest(), end='')
)";

// The README's recipe.
constexpr const char* kSetDigest = R"(
import hashlib, os, sys
folder, names = sys.argv[1], sorted(sys.argv[2:], key=str.encode)
listing = ''.join(
    hashlib.sha256(open(os.path.join(folder, name), 'rb').read()).hexdigest() + '  ' + name + '\n'
    for name in names)
print(hashlib.sha256(listing.encode()).hexdigest(), end='')
)";

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::size_t at = 0;
  for (std::size_t end; (end = text.find(separator, at)) != std::string::npos; at = end + 1)
    parts.push_back(text.substr(at, end - at));
  parts.push_back(text.substr(at));
  return parts;
}

std::string python(std::vector<std::string> args) {
  args.insert(args.begin(), "python3");
  const ProcessResult run = runProcess(args);
  EXPECT_EQ(run.status, 0) << run.err;
  return run.out;
}

std::string upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

}  // namespace

const std::vector<std::string> kHistoryColumns{"start",
                                               "station",
                                               "version",
                                               "commit",
                                               "mode",
                                               "variant",
                                               "calibration_subfolder",
                                               "device_line",
                                               "uid",
                                               "model_code",
                                               "model_label",
                                               "package_server",
                                               "package",
                                               "package_sha256",
                                               "calibration_folder",
                                               "calibration_files",
                                               "calibration_sha256",
                                               "exit_status",
                                               "meaning",
                                               "duration_s",
                                               "package_check",
                                               "device_check"};

History readHistory(const std::string& path) {
  History history;
  const ProcessResult run = runProcess({"python3", "-c", kReader, path});
  if (run.status != 0) {
    history.problem =
        run.err.empty() ? "the reader ended with " + std::to_string(run.status) : run.err;
    return history;
  }
  std::vector<std::string> records = split(run.out, '\x1e');
  if (split(records.front(), '\x1f') != kHistoryColumns) {
    history.problem = "the header is " + records.front();
    return history;
  }
  for (std::size_t i = 1; i < records.size(); ++i) {
    const std::vector<std::string> fields = split(records[i], '\x1f');
    if (fields.size() != kHistoryColumns.size()) {
      history.problem =
          "row " + std::to_string(i) + " has " + std::to_string(fields.size()) + " fields";
      return history;
    }
    HistoryRecord row;
    for (std::size_t column = 0; column < fields.size(); ++column)
      row[kHistoryColumns[column]] = fields[column];
    history.rows.push_back(row);
  }
  return history;
}

std::string sha256Of(const std::string& path) { return python({"-c", kFileDigest, path}); }

std::string setSha256Of(const std::string& folder, const std::vector<std::string>& names) {
  std::vector<std::string> args{"-c", kSetDigest, folder};
  args.insert(args.end(), names.begin(), names.end());
  return python(args);
}

void expectRunColumns(const HistoryRecord& row, double minSeconds) {
  EXPECT_TRUE(std::regex_match(row.at("start"),
                               std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d)")))
      << row.at("start");
  // The host name; under Wine the computer name, its first 15 characters in capitals.
  char host[256] = {};
  ::gethostname(host, sizeof host - 1);
  const std::string station = row.at("station");
  EXPECT_TRUE(station == host || station == upper(std::string(host).substr(0, 15))) << station;
  EXPECT_TRUE(std::regex_match(row.at("version"), std::regex(R"(\d+\.\d+\.\d+)")))
      << row.at("version");
  EXPECT_TRUE(std::regex_match(row.at("commit"), std::regex("([0-9a-f]{7,})?")))
      << row.at("commit");
  EXPECT_GE(std::stod(row.at("duration_s")), minSeconds);
}

}  // namespace provision::test
