#include "support/scenario.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <sstream>

namespace provision::test {
namespace {

namespace fs = std::filesystem;

constexpr std::int64_t kChunk = 10240;

std::vector<std::string> splitWords(const char* text) {
  std::vector<std::string> words;
  std::istringstream in(text == nullptr ? "" : text);
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

std::string withoutCarriageReturnBeforeLineFeed(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  return out;
}

}  // namespace

TechnicianPc::TechnicianPc(const Lab& lab, const std::string& folderName)
    : lab_(lab),
      folder_(lab.dir() + "/" + folderName),
      launcher_(splitWords(std::getenv("PROVISION_LAUNCHER"))) {
  const char* exe = std::getenv("PROVISION_EXE");
  const fs::path source = exe != nullptr && *exe != '\0' ? exe : PROVISION_EXE;
  fs::create_directories(folder_);
  exe_ = folder_ + "/" + source.filename().string();
  fs::copy_file(source, exe_, fs::copy_options::overwrite_existing);
}

ProcessResult TechnicianPc::run(const std::vector<std::string>& args, double timeoutSeconds) const {
  std::vector<std::string> argv = launcher_;
  argv.push_back(exe_);
  argv.insert(argv.end(), args.begin(), args.end());
  ProcessResult result = lab_.run(argv, folder_, timeoutSeconds);
  if (!launcher_.empty()) {
    result.out = withoutCarriageReturnBeforeLineFeed(result.out);
    result.err = withoutCarriageReturnBeforeLineFeed(result.err);
  }
  return result;
}

ProcessResult TechnicianPc::runOnTerminal(const std::vector<std::string>& args,
                                          double timeoutSeconds) const {
  std::vector<std::string> words = launcher_;
  words.push_back(exe_);
  words.insert(words.end(), args.begin(), args.end());
  std::string command;
  for (const std::string& word : words) {
    std::string quoted = "'";
    for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    command += quoted + "' ";
  }
  return lab_.run({"script", "-qec", command, "/dev/null"}, folder_, timeoutSeconds);
}

std::string TechnicianPc::record() const {
  return withoutCarriageReturnBeforeLineFeed(readText(path("provision.log")));
}

std::string TechnicianPc::shownPath(const std::string& relative) const {
  std::string shown = path(relative);
  if (launcher_.empty()) return shown;
  std::replace(shown.begin(), shown.end(), '/', '\\');
  return "Z:" + shown;
}

std::string maskTimestamps(const std::string& text) {
  static const std::regex stamp(R"(\[\d{4}:\d{1,2}:\d{1,2} \d{1,2}:\d{1,2}:\d{1,2}\] : )");
  return std::regex_replace(text, stamp, "[T] : ");
}

std::string expectedProgress(std::int64_t size) {
  std::string text;
  for (std::int64_t chunk = 0; chunk * kChunk < size; ++chunk) {
    const std::int64_t counted = (chunk + 1) * kChunk;
    if (counted >= size) return text + "\rsent: 100.00%\n";
    if (chunk % 20 != 0) continue;
    char percent[32];
    std::snprintf(
        percent, sizeof percent, "\rsent: %.2f%%",
        static_cast<double>(static_cast<float>(counted) * 100.0f / static_cast<float>(size)));
    text += percent;
  }
  return text;
}

}  // namespace provision::test
