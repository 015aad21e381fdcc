#include "support/lab.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/files.h"

namespace provision::test {
namespace {

std::string trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

}  // namespace

std::string labTool() { return std::string(PROVISION_SOURCE_DIR) + "/lab/lab"; }

std::string uniqueLabName(const char* hint) {
  std::string base(hint);
  return base.substr(0, 36) + "-" + std::to_string(::getpid());
}

Lab::Lab(std::string name, std::string kind, std::string ssh, std::string ftp)
    : name_(std::move(name)) {
  ProcessResult started = tool({"start", name_, "--kind", kind, "--ssh", ssh, "--ftp", ftp,
                                "--owner", std::to_string(::getpid())});
  if (started.status != 0) {
    startError_ = started.err.empty() ? "lab start failed" : started.err;
    return;
  }
  dir_ = trimmed(started.out);
}

Lab::~Lab() {
  const char* keep = std::getenv("PROVISION_KEEP_LAB");
  if (keep != nullptr && std::string(keep) == "1") return;
  tool({"stop", name_});
}

std::string Lab::devicePath(const std::string& path) const {
  std::string relative = path;
  while (!relative.empty() && relative.front() == '/') relative.erase(0, 1);
  return dir_ + "/device/" + relative;
}

std::string Lab::ftpRoot() const { return dir_ + "/ftp/root"; }

std::string Lab::sshdLog() const { return readText(dir_ + "/sshd.log"); }

int Lab::waitForSshdLog(const std::string& needle, int count) const {
  for (int i = 0; i < 100 && countOf(sshdLog(), needle) < count; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  return countOf(sshdLog(), needle);
}

std::string Lab::ftpLog() const { return readText(dir_ + "/ftp.log"); }

ProcessResult Lab::device(const std::string& shellCommand, double timeoutSeconds) const {
  return tool({"device", name_, "--", "sh", "-c", shellCommand}, timeoutSeconds);
}

ProcessResult Lab::run(const std::vector<std::string>& argv, const std::string& cwd,
                       double timeoutSeconds) const {
  std::vector<std::string> full = {labTool(), "run", name_, "--"};
  full.insert(full.end(), argv.begin(), argv.end());
  return runProcess(full, cwd, timeoutSeconds);
}

bool Lab::ftpDown() const { return tool({"ftp", name_, "down"}).status == 0; }

bool Lab::ftpUp() const { return tool({"ftp", name_, "up"}).status == 0; }

bool Lab::ftpFault(const std::vector<std::string>& args) const {
  std::vector<std::string> full = {"ftp-fault", name_};
  full.insert(full.end(), args.begin(), args.end());
  return tool(full).status == 0;
}

bool Lab::unplugDevice() const { return tool({"unplug", name_}).status == 0; }

bool Lab::plugDevice() const { return tool({"plug", name_}).status == 0; }

bool Lab::hang(const std::string& peer) const { return tool({"hang", name_, peer}).status == 0; }

bool Lab::resume(const std::string& peer) const {
  return tool({"resume", name_, peer}).status == 0;
}

bool Lab::hangDeviceAfter(std::int64_t bytes, const std::string& devicePath) const {
  return tool({"hang", name_, "device", "--after", std::to_string(bytes), devicePath}).status == 0;
}

bool Lab::powerOff() const { return tool({"power-off", name_}).status == 0; }

bool Lab::powerOn() const { return tool({"power-on", name_}).status == 0; }

bool Lab::blockConnectBack() const {
  return tool({"firewall", name_, "block-connect-back"}).status == 0;
}

bool Lab::clearFirewall() const { return tool({"firewall", name_, "clear"}).status == 0; }

bool Lab::mountFull(const std::string& folder, std::int64_t bytes) const {
  return tool({"mount", name_, "full", folder, std::to_string(bytes)}).status == 0;
}

bool Lab::mountReadOnly(const std::string& folder) const {
  return tool({"mount", name_, "read-only", folder}).status == 0;
}

bool Lab::unmount(const std::string& folder) const {
  return tool({"mount", name_, "unmount", folder}).status == 0;
}

bool Lab::powerOffAfter(std::int64_t bytes, const std::string& devicePath) const {
  return tool({"power-off", name_, "--after", std::to_string(bytes), devicePath}).status == 0;
}

bool Lab::refuseSsh(double seconds) const {
  return tool({"refuse-ssh", name_, std::to_string(seconds)}).status == 0;
}

bool Lab::refuseSshAfter(std::int64_t bytes, const std::string& devicePath, double seconds) const {
  return tool({"refuse-ssh", name_, std::to_string(seconds), "--after", std::to_string(bytes),
               devicePath})
             .status == 0;
}

bool Lab::acceptSsh() const { return tool({"refuse-ssh", name_, "clear"}).status == 0; }

bool Lab::sshCiphers(const std::string& ciphers) const {
  return tool({"ssh-ciphers", name_, ciphers}).status == 0;
}

bool Lab::deviceTool(const std::vector<std::string>& args) const {
  std::vector<std::string> full = {"device-tool", name_};
  full.insert(full.end(), args.begin(), args.end());
  return tool(full).status == 0;
}

ProcessResult Lab::fixture(const std::vector<std::string>& args) const {
  std::vector<std::string> full = {"fixture", name_};
  full.insert(full.end(), args.begin(), args.end());
  return tool(full);
}

ProcessResult Lab::tool(std::vector<std::string> args, double timeoutSeconds) const {
  args.insert(args.begin(), labTool());
  return runProcess(args, "", timeoutSeconds);
}

NetnsScope::NetnsScope(const Lab& lab) {
  original_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  int target = ::open(("/run/netns/provlab-" + lab.name()).c_str(), O_RDONLY | O_CLOEXEC);
  if (original_ >= 0 && target >= 0) entered_ = ::setns(target, CLONE_NEWNET) == 0;
  if (target >= 0) ::close(target);
}

NetnsScope::~NetnsScope() {
  if (entered_) ::setns(original_, CLONE_NEWNET);
  if (original_ >= 0) ::close(original_);
}

}  // namespace provision::test
