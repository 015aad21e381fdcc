// The lab's vsftpd package server (`lab start NAME --ftp vsftpd`): it serves the lab's root folder
// to the lab's account in both modes, its switches and downtime act on every one of its processes,
// and stopping the lab ends them all.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <set>

#include "support/files.h"
#include "support/ftp_control.h"
#include "support/ftp_log.h"
#include "support/lab.h"
#include "support/process.h"

namespace provision::test {
namespace {

namespace fs = std::filesystem;

// Fetches one server file with curl into `target`, in active mode or passive.
ProcessResult fetch(const Lab& lab, const std::string& serverPath, const std::string& target,
                    bool active = true) {
  std::vector<std::string> argv = {"curl", "-sS", "--max-time", "20", "-u", "velqorn:ftp604817"};
  if (active) argv.insert(argv.end(), {"-P", "-"});
  argv.insert(argv.end(), {std::string("ftp://") + PROVISION_FTP_HOST + serverPath, "-o", target});
  return lab.run(argv, "", 60);
}

// Whether the process exists and has not ended (a zombie has: only its parent has yet to reap it).
bool running(int pid) {
  const std::string stat = readText("/proc/" + std::to_string(pid) + "/stat");
  const size_t name = stat.rfind(')');
  return name != std::string::npos && stat.compare(name, 4, ") Z ") != 0;
}

// The PIDs of the running processes in the PID namespace of the lab's package server.
std::set<int> serverProcesses(const Lab& lab) {
  std::smatch found;
  const std::string pids = readText(lab.dir() + "/pids.json");
  if (!std::regex_search(pids, found, std::regex("\"ftp\": \\[([0-9]+)"))) return {};
  std::error_code error;
  const fs::path ns = fs::read_symlink("/proc/" + found[1].str() + "/ns/pid", error);
  if (error) return {};
  std::set<int> processes;
  for (const fs::directory_entry& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code gone;  // a process that ended meanwhile, or a kernel thread
    if (fs::read_symlink(entry.path() / "ns/pid", gone) == ns && running(std::stoi(name)))
      processes.insert(std::stoi(name));
  }
  return processes;
}

TEST(LabVsftpd, ServesTheRootFolderInBothModesAndStopEndsEveryProcess) {
  const std::string name = uniqueLabName("lab-vsftpd");
  std::string dir;
  std::set<int> processes;
  {
    Lab lab(name, "qm", "openssh", "vsftpd");
    ASSERT_TRUE(lab.ok()) << lab.startError();
    dir = lab.dir();
    EXPECT_EQ(readText(dir + "/ftp-server"), "vsftpd\n");
    // Written as root and readable by root only, as the tests leave them: served all the same.
    const std::string data = patterned(300000);
    writeText(lab.ftpRoot() + "/Pkg/data.bin", data);
    ASSERT_EQ(::chmod((lab.ftpRoot() + "/Pkg/data.bin").c_str(), 0600), 0);
    const std::string local = dir + "/got.bin";
    for (bool active : {true, false}) {
      fs::remove(local);
      ProcessResult got = fetch(lab, "/Pkg/data.bin", local, active);
      ASSERT_EQ(got.status, 0) << got.err << lab.ftpLog();
      EXPECT_TRUE(readText(local) == data) << (active ? "active" : "passive");
    }
    const std::string log = lab.ftpLog();
    EXPECT_EQ(countCommands(log, "USER velqorn"), 2) << log;
    EXPECT_EQ(countCommands(log, "EPRT |1|" PROVISION_FTP_HOST "|"), 1) << log;
    EXPECT_EQ(countCommands(log, "EPSV") + countCommands(log, "PASV"), 1) << log;
    EXPECT_EQ(countCommands(log, "RETR data.bin"), 2) << log;
    EXPECT_EQ(log.find("ftp604817"), std::string::npos) << "password in the log";
    EXPECT_EQ(fetch(lab, "/Pkg/absent.bin", local).status, 78);

    // A session left open: its processes end with the lab too.
    FtpControl session(lab);
    EXPECT_EQ(session.reply().substr(0, 4), "220 ");
    processes = serverProcesses(lab);
    EXPECT_GE(processes.size(), 4u);  // the reaper, the listener, the session's two
  }
  for (int pid : processes) EXPECT_FALSE(running(pid)) << pid;
  EXPECT_FALSE(fs::exists(dir));
}

TEST(LabVsftpd, SwitchesHangAndDowntimeReachEveryProcess) {
  Lab lab(uniqueLabName("lab-vsftpd-faults"), "qm", "openssh", "vsftpd");
  ASSERT_TRUE(lab.ok()) << lab.startError();
  writeText(lab.ftpRoot() + "/a.bin", "a");
  const std::string target = lab.dir() + "/a.bin";

  ASSERT_TRUE(lab.ftpFault({"refuse-login"}));
  EXPECT_EQ(fetch(lab, "/a.bin", target).status, 67);  // login denied
  ASSERT_TRUE(lab.ftpFault({"clear"}));
  EXPECT_EQ(fetch(lab, "/a.bin", target).status, 0);

  // The switches vsftpd has no way to act on say so, with their own status.
  for (std::vector<std::string> fault :
       {std::vector<std::string>{"drop-after", "10", "/a.bin"}, {"refuse-size-mdtm"}}) {
    fault.insert(fault.begin(), {labTool(), "ftp-fault", lab.name()});
    ProcessResult refused = runProcess(fault);
    EXPECT_EQ(refused.status, 2) << fault[3];
    EXPECT_NE(refused.err.find("not supported by the vsftpd flavour"), std::string::npos)
        << refused.err;
  }

  // One connection an address: the second is turned away, until the switch is cleared.
  ASSERT_TRUE(lab.ftpFault({"max-per-address", "1"}));
  FtpControl first(lab);
  EXPECT_EQ(first.reply().substr(0, 4), "220 ");
  EXPECT_EQ(FtpControl(lab).reply().substr(0, 4), "421 ");
  ASSERT_TRUE(lab.ftpFault({"clear"}));
  EXPECT_EQ(FtpControl(lab).reply().substr(0, 4), "220 ");

  // A hung server answers nothing, not even on a session opened before; then it goes on.
  ASSERT_TRUE(lab.hang("ftp"));
  ASSERT_TRUE(first.send("NOOP\r\n"));
  EXPECT_EQ(first.reply(1000), "");
  ASSERT_TRUE(lab.resume("ftp"));
  EXPECT_NE(first.reply(), "");

  // Down ends every process, the open session's too.
  const std::set<int> processes = serverProcesses(lab);
  EXPECT_GE(processes.size(), 4u);  // the reaper, the listener, the session's two
  ASSERT_TRUE(lab.ftpDown());
  for (int pid : processes) EXPECT_FALSE(running(pid)) << pid;
  EXPECT_EQ(first.reply(), "");                       // closed
  EXPECT_EQ(fetch(lab, "/a.bin", target).status, 7);  // nothing listening
  ASSERT_TRUE(lab.ftpUp());
  EXPECT_EQ(fetch(lab, "/a.bin", target).status, 0);
}

}  // namespace
}  // namespace provision::test
