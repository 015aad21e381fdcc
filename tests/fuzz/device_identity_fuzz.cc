// The device's answers (UID, model code, board name) up to what they become: the board query
// passes the model code to grep as one pattern and gives the shell nothing else; the unit's server
// folder, when there is one, is /DeviceDataBase/<label>/<uid>/ and never anywhere else. Any of
// these texts, as a name for a command line, is one word of the shell that gives back the name,
// and as a file never begins with "-".
#include <fuzzer/FuzzedDataProvider.h>

#include <filesystem>
#include <optional>
#include <vector>

#include "device/shell_word.h"
#include "install/device_identity.h"
#include "property.h"

namespace provision::fuzz {
namespace {

constexpr const char* kQueryStart = "cat /opt/sys.log | grep ";
constexpr const char* kQueryEnd = " | sed -n '1p' | awk '{print $3}'";

// The words a POSIX shell makes of `text`, or nothing when the text holds anything the shell would
// act on (an operator, an expansion, a glob, a comment, an unterminated quote).
std::optional<std::vector<std::string>> shellWords(const std::string& text) {
  static const std::string kSpecial = "|&;<>()$`\"*?[]{}#~=%!\n";
  std::vector<std::string> words;
  std::string word;
  bool inWord = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\'') {
      const size_t close = text.find('\'', i + 1);
      if (close == std::string::npos) return std::nullopt;
      word += text.substr(i + 1, close - i - 1);
      inWord = true;
      i = close;
    } else if (c == '\\') {
      // Escapes the next character; at the end it would escape what follows the text.
      if (i + 1 == text.size() || text[i + 1] == '\n') return std::nullopt;
      word += text[++i];
      inWord = true;
    } else if (c == ' ' || c == '\t') {
      if (inWord) words.push_back(word);
      word.clear();
      inWord = false;
    } else if (kSpecial.find(c) != std::string::npos || c == '\0') {
      return std::nullopt;
    } else {
      word += c;
      inWord = true;
    }
  }
  if (inWord) words.push_back(word);
  return words;
}

void checkBoardQuery(const std::string& modelCode) {
  const std::string query = boardQuery(modelCode);
  const std::string start = kQueryStart, end = kQueryEnd;
  require(
      query.starts_with(start) && query.ends_with(end) && query.size() >= start.size() + end.size(),
      "the board query keeps its fixed command around the code");
  const std::string pattern = query.substr(start.size(), query.size() - start.size() - end.size());
  const auto words = shellWords(pattern);
  require(words.has_value(), "the shell takes the code as plain words");
  if (modelCode.empty()) return;  // grep without a pattern, as the empty answer always gave
  const bool plain = *words == std::vector<std::string>{modelCode} && modelCode[0] != '-';
  require(plain || *words == std::vector<std::string>{"-e", modelCode},
          "grep gets the code as its one pattern");
}

// Whether a file of `folder` lies in /DeviceDataBase/<label>/<uid>, as the server resolves the
// path, and the path carries nothing an FTP command line or a Windows client would take
// differently: no control character and no backslash. An empty label or UID names the folder above
// a unit's, never a unit's own.
bool isUnitFolder(const std::string& folder, const std::string& label, const std::string& uid) {
  const std::vector<std::string> unit{"/", "DeviceDataBase", label, uid};
  const std::filesystem::path file(folder + "Cal_LatestFileLog.txt");
  std::vector<std::string> parts;
  for (const auto& part : file.lexically_normal().parent_path()) parts.push_back(part.string());
  if (parts != unit) return false;
  for (char c : folder) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f || c == '\\') return false;
  }
  return true;
}

void checkShellWords(const std::string& name) {
  if (name.empty()) return;  // adds nothing to a line
  require(shellWords(shellWord(name)) == std::vector<std::string>{name},
          "a name is exactly one word of the shell, and the word is the name");
  const auto file = shellWords(fileWord("", name));
  const std::string expected = name[0] == '-' ? "./" + name : name;
  require(file == std::vector<std::string>{expected}, "a file is one word that is no option");
  require(shellWords(fileWord("/root/", name)) == std::vector<std::string>{"/root/" + name},
          "a file in a folder is one word");
}

void checkServerFolder(const std::string& label, const std::string& uid) {
  const std::string joined = "/DeviceDataBase/" + label + "/" + uid + "/";
  std::string folder = "unchanged";
  if (!unitServerFolder(label, uid, folder)) {
    require(folder == "unchanged", "a refused identity gives no folder");
    require(!isUnitFolder(joined, label, uid), "only an identity that names no unit is refused");
    return;
  }
  require(folder == joined, "the folder is the unit's");
  require(isUnitFolder(folder, label, uid), "the folder lies in /DeviceDataBase/<label>/<uid>");
}

}  // namespace
}  // namespace provision::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace provision;
  using fuzz::require;
  FuzzedDataProvider input(data, size);
  const std::string uidAnswer = input.ConsumeRandomLengthString();
  const std::string modelAnswer = input.ConsumeRandomLengthString();
  const std::string boardAnswer = input.ConsumeRemainingBytesAsString();

  for (const std::string* answer : {&uidAnswer, &modelAnswer, &boardAnswer}) {
    const std::string trimmed = trimAnswer(*answer);
    require(
        answer->starts_with(trimmed) && trimmed.size() + 1 == std::max<size_t>(answer->size(), 1),
        "trimming drops the last character and nothing else");
  }
  const std::string uid = trimAnswer(uidAnswer);
  const std::string modelCode = trimAnswer(modelAnswer);
  const std::string boardName = trimAnswer(boardAnswer);

  fuzz::checkBoardQuery(modelCode);
  for (const std::string* answer : {&uidAnswer, &modelAnswer, &boardAnswer})
    fuzz::checkShellWords(*answer);
  const std::string label = modelLabel(modelCode, boardName);
  if (modelCode == "51") {
    require(label == "K700_R5_V3(051)", "model code 51 has the fixed label");
  } else {
    require(label == boardName + "(0" + modelCode + ")", "the label is board(0code)");
  }
  fuzz::checkServerFolder(label, uid);
  return 0;
}
