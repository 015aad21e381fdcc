#include "install/unit_check.h"

#include "device/shell_word.h"
#include "device/ssh_link.h"
#include "log/text.h"
#include "package/file_digest.h"

namespace provision {
namespace {

// Well below what an SSH server takes in one request (OpenSSH: 256 KiB a packet) and what a
// unit's shell takes as one line.
constexpr std::size_t kLongestCommand = 32 * 1024;
constexpr std::size_t kHexDigits = 64;
// What a shell answers for a command it cannot find.
constexpr int kCommandNotFound = 127;

std::string shortDigest(const std::string& sha256) { return sha256.substr(0, 12) + "..."; }

}  // namespace

std::vector<std::string> sha256sumCommands(const std::string& folder,
                                           const std::vector<std::string>& names) {
  const std::string start = "cd " + pathWord(folder) + " && sha256sum --";
  std::vector<std::string> commands;
  std::string command = start;
  for (const std::string& name : names) {
    std::string word = " ";
    word += pathWord(name);
    if (command.size() > start.size() && command.size() + word.size() > kLongestCommand) {
      commands.push_back(command);
      command = start;
    }
    command += word;
  }
  if (command.size() > start.size()) commands.push_back(command);
  return commands;
}

std::map<std::string, std::string> readSha256sumLines(const std::string& output) {
  std::map<std::string, std::string> digests;
  std::size_t start = 0;
  while (start < output.size()) {
    std::size_t end = output.find('\n', start);
    if (end == std::string::npos) end = output.size();
    const std::string line = output.substr(start, end - start);
    start = end + 1;
    if (line.size() <= kHexDigits + 2 || line.compare(kHexDigits, 2, "  ") != 0) continue;
    const std::string digest = line.substr(0, kHexDigits);
    if (isSha256Hex(digest)) digests[line.substr(kHexDigits + 2)] = digest;
  }
  return digests;
}

std::string digestMismatch(const std::vector<ArchiveFile>& expected,
                           const std::map<std::string, std::string>& digests) {
  for (const ArchiveFile& file : expected) {
    const auto found = digests.find(file.name);
    if (found == digests.end()) return "its file " + printable(file.name) + " is not on the unit";
    if (found->second != file.sha256) {
      return "its file " + printable(file.name) + " differs on the unit (SHA-256 " +
             shortDigest(found->second) + " there, " + shortDigest(file.sha256) + " here)";
    }
  }
  return {};
}

UnitCheck checkOnUnit(SshLink& link, const std::string& folder,
                      const std::vector<ArchiveFile>& expected) {
  std::vector<std::string> names;
  for (const ArchiveFile& file : expected) names.push_back(file.name);
  UnitCheck check;
  for (const std::string& command : sha256sumCommands(folder, names)) {
    std::string output;
    int exitStatus = kNoExitStatus;
    check.linkStatus = link.runCommand(command, output, exitStatus);
    if (check.linkStatus != kSshOk) return check;
    if (exitStatus == kCommandNotFound) {
      check.outcome = UnitCheck::NoTool;
      return check;
    }
    check.digests.merge(readSha256sumLines(output));
  }
  check.problem = digestMismatch(expected, check.digests);
  check.outcome = check.problem.empty() ? UnitCheck::Matches : UnitCheck::Differs;
  return check;
}

std::string setSha256(const std::map<std::string, std::string>& digests) {
  // A std::map keeps its names in byte order.
  std::string lines;
  for (const auto& [name, digest] : digests) lines += digest + "  " + name + "\n";
  return sha256Hex(lines);
}

}  // namespace provision
