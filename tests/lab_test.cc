// The lab itself: the device is isolated from this machine, the labs are independent, the package
// server and its fault switches behave, and the support code that drives them is sound.
#include "support/lab.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <thread>

#include "device/ssh_link.h"
#include "support/files.h"
#include "support/ftp_control.h"
#include "support/process.h"
#include "support/zip_builder.h"

namespace provision::test {
namespace {

namespace fs = std::filesystem;

ProcessResult ssh(const Lab& lab, const std::string& user, const std::string& password,
                  const std::string& command) {
  return lab.run({"sshpass",
                  "-p",
                  password,
                  "ssh",
                  "-F",
                  "/dev/null",
                  "-o",
                  "StrictHostKeyChecking=no",
                  "-o",
                  "UserKnownHostsFile=/dev/null",
                  "-o",
                  "PubkeyAuthentication=no",
                  "-o",
                  "LogLevel=ERROR",
                  "-o",
                  "ConnectTimeout=10",
                  "-o",
                  "NumberOfPasswordPrompts=1",
                  user + "@" + PROVISION_DEVICE_HOST,
                  command},
                 "", 60);
}

// Fetches one server file with curl in active mode into `target`.
ProcessResult fetch(const Lab& lab, const std::string& serverPath, const std::string& target) {
  return lab.run({"curl", "-sS", "--max-time", "20", "-P", "-", "-u", "velqorn:ftp604817",
                  std::string("ftp://") + PROVISION_FTP_HOST + serverPath, "-o", target},
                 "", 60);
}

class TempDir {
 public:
  TempDir() {
    char name[] = "/tmp/lab-test-XXXXXX";
    path_ = ::mkdtemp(name);
  }
  ~TempDir() { fs::remove_all(path_); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

TEST(LabDevice, WritesLandInTheLabFolderAndTheMachineStaysUntouched) {
  Lab lab(uniqueLabName("lab-device"));
  ASSERT_TRUE(lab.ok()) << lab.startError();

  ProcessResult written = ssh(lab, "root", "lwzq",
                              "echo dev > /opt/probe.txt && touch /root/r /tmp/t /var/log/l && "
                              "cd /root && chmod 777 -R /opt * && id -un && pwd");
  ASSERT_EQ(written.status, 0) << written.err;
  EXPECT_EQ(written.out, "root\n/root\n");
  EXPECT_EQ(readText(lab.devicePath("opt/probe.txt")), "dev\n");
  EXPECT_EQ(fs::status(lab.devicePath("/opt/probe.txt")).permissions(), fs::perms::all);
  for (const char* path : {"root/r", "tmp/t", "var/log/l"})
    EXPECT_TRUE(fs::exists(lab.devicePath(path))) << path;

  std::string marker = "lab-probe-" + std::to_string(::getpid());
  ProcessResult refused =
      ssh(lab, "root", "lwzq",
          "touch /usr/" + marker + "; touch /etc/" + marker + "; touch /var/tmp/" + marker);
  EXPECT_NE(refused.status, 0);
  EXPECT_NE(refused.err.find("Read-only file system"), std::string::npos) << refused.err;
  for (const char* folder : {"/usr/", "/etc/", "/var/tmp/"})
    EXPECT_FALSE(fs::exists(folder + marker)) << folder;

  // The device's /dev is its own: changing a node there leaves the machine's alone.
  struct stat before {};
  ASSERT_EQ(::stat("/dev/null", &before), 0);
  ProcessResult touched = lab.device("touch -m -d @978307200 /dev/null && stat -c %Y /dev/null");
  ASSERT_EQ(touched.status, 0) << touched.err;
  EXPECT_EQ(touched.out, "978307200\n");
  struct stat after {};
  ASSERT_EQ(::stat("/dev/null", &after), 0);
  EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);

  ProcessResult user = ssh(lab, "tqowmb", "tqowmb", "touch f && pwd");
  ASSERT_EQ(user.status, 0) << user.err;
  EXPECT_EQ(user.out, "/home/tqowmb\n");
  struct stat owned {};
  ASSERT_EQ(::stat(lab.devicePath("home/tqowmb/f").c_str(), &owned), 0);
  EXPECT_EQ(owned.st_uid, 1000u);
}

TEST(LabDevice, LabsRunAtOnceAndEachAcceptsOnlyItsRootPassword) {
  Lab qm(uniqueLabName("lab-qm"), "qm");
  Lab zr(uniqueLabName("lab-zr"), "zr");
  Lab none(uniqueLabName("lab-none"), "none");
  ASSERT_TRUE(qm.ok()) << qm.startError();
  ASSERT_TRUE(zr.ok()) << zr.startError();
  ASSERT_TRUE(none.ok()) << none.startError();

  EXPECT_EQ(ssh(qm, "root", "lwzq", "echo qm > /opt/which").status, 0);
  EXPECT_NE(ssh(qm, "root", "tqowmb", "true").status, 0);
  EXPECT_EQ(ssh(zr, "root", "tqowmb", "echo zr > /opt/which").status, 0);
  EXPECT_NE(ssh(zr, "root", "lwzq", "true").status, 0);
  EXPECT_NE(ssh(none, "root", "lwzq", "true").status, 0);
  EXPECT_NE(ssh(none, "root", "tqowmb", "true").status, 0);

  {
    // The library's own client gets along with the device (key exchange, host key, SFTP).
    NetnsScope scope(qm);
    ASSERT_TRUE(scope.ok());
    SshLink refused;
    EXPECT_EQ(refused.open(PROVISION_DEVICE_HOST, "root", "tqowmb"), kSshAuthFailed);
    SshLink link;
    ASSERT_EQ(link.open(PROVISION_DEVICE_HOST, "root", "lwzq"), kSshOk);
    std::string out;
    EXPECT_EQ(link.runCommand("cat /opt/which", out), kSshOk);
    EXPECT_EQ(out, "qm\n");
    link.close();
  }
  EXPECT_NE(qm.sshdLog().find("11: Normal Shutdown"), std::string::npos) << qm.sshdLog();
  EXPECT_EQ(readText(qm.devicePath("opt/which")), "qm\n");
  EXPECT_EQ(readText(zr.devicePath("opt/which")), "zr\n");
  EXPECT_NE(qm.sshdLog().find("Accepted password for root"), std::string::npos);
  EXPECT_NE(qm.sshdLog().find("Failed password for root"), std::string::npos);
  EXPECT_EQ(none.sshdLog().find("Accepted password"), std::string::npos);
}

// Finds a live process of this machine whose command line is exactly `cmdline` (arguments joined
// by NUL), and returns its PID, or 0.
pid_t findProcess(const std::string& cmdline) {
  for (const fs::directory_entry& entry : fs::directory_iterator("/proc")) {
    std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::string stat = readText(entry.path() / "stat");
    size_t paren = stat.rfind(')');
    if (paren == std::string::npos || stat.substr(paren + 2, 1) == "Z") continue;
    if (readText(entry.path() / "cmdline") == cmdline + '\0') return std::stoi(name);
  }
  return 0;
}

TEST(LabDevice, StopEndsEveryDeviceProcessAndRemovesTheLab) {
  std::string name = uniqueLabName("lab-stop");
  std::string seconds = "3000." + std::to_string(::getpid());
  std::string dir;
  {
    Lab lab(name);
    ASSERT_TRUE(lab.ok()) << lab.startError();
    dir = lab.dir();
    ASSERT_EQ(lab.device("setsid sleep " + seconds + " >/dev/null 2>&1 &").status, 0);
    ProcessResult inside = lab.device("pgrep -x sleep; pgrep -x sshd");
    EXPECT_EQ(inside.status, 0) << inside.err;
    ASSERT_NE(findProcess(std::string("sleep\0", 6) + seconds), 0);
  }
  for (int i = 0; i < 100 && findProcess(std::string("sleep\0", 6) + seconds) != 0; ++i)
    ::usleep(20000);
  EXPECT_EQ(findProcess(std::string("sleep\0", 6) + seconds), 0);
  EXPECT_FALSE(fs::exists(dir));
  EXPECT_FALSE(fs::exists("/run/netns/provlab-" + name));
}

TEST(LabPackageServer, ServesFilesInActiveMode) {
  Lab lab(uniqueLabName("lab-ftp"));
  ASSERT_TRUE(lab.ok()) << lab.startError();
  TempDir local;
  std::string data = patterned(300000);
  writeText(lab.ftpRoot() + "/Pkg/data.bin", data);

  ProcessResult got = fetch(lab, "/Pkg/data.bin", local.path() + "/data.bin");
  ASSERT_EQ(got.status, 0) << got.err;
  EXPECT_TRUE(readText(local.path() + "/data.bin") == data);
  std::string log = lab.ftpLog();
  EXPECT_NE(log.find("<- USER velqorn"), std::string::npos) << log;
  EXPECT_NE(log.find("<- EPRT |1|" PROVISION_FTP_HOST "|"), std::string::npos) << log;
  EXPECT_EQ(log.find("ftp604817"), std::string::npos) << "password in the log";
}

TEST(LabPackageServer, FaultSwitchesAndDowntime) {
  Lab lab(uniqueLabName("lab-ftp-faults"));
  ASSERT_TRUE(lab.ok()) << lab.startError();
  TempDir local;
  std::string data = patterned(50000);
  writeText(lab.ftpRoot() + "/a.bin", data);
  std::string target = local.path() + "/a.bin";

  ASSERT_TRUE(lab.ftpFault({"refuse-retr", "2"}));
  EXPECT_EQ(fetch(lab, "/a.bin", target).status, 0);
  EXPECT_NE(fetch(lab, "/a.bin", target).status, 0);
  EXPECT_EQ(fetch(lab, "/a.bin", target).status, 0);

  ASSERT_TRUE(lab.ftpFault({"drop-after", "1000", "/a.bin"}));
  fs::remove(target);
  EXPECT_NE(fetch(lab, "/a.bin", target).status, 0);
  // The client may see the failure before it reads the data; what arrived is a prefix.
  std::string partial = readText(target);
  EXPECT_LE(partial.size(), 1000u);
  EXPECT_TRUE(data.compare(0, partial.size(), partial) == 0);
  // The server logs the transfer once it has closed it, which may come after the client's end.
  const auto logged = [&] {
    return lab.ftpLog().find("a.bin completed=0 bytes=1000 ") != std::string::npos;
  };
  for (int tries = 0; tries < 100 && !logged(); ++tries)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_TRUE(logged()) << lab.ftpLog();

  ASSERT_TRUE(lab.ftpFault({"clear"}));
  ASSERT_TRUE(lab.ftpFault({"refuse-login"}));
  EXPECT_EQ(fetch(lab, "/a.bin", target).status, 67);  // login denied
  ASSERT_TRUE(lab.ftpFault({"clear"}));
  EXPECT_EQ(fetch(lab, "/a.bin", target).status, 0);
  EXPECT_TRUE(readText(target) == data);

  ASSERT_TRUE(lab.ftpDown());
  EXPECT_EQ(fetch(lab, "/a.bin", target).status, 7);  // nothing listening
  ASSERT_TRUE(lab.ftpUp());
  EXPECT_EQ(fetch(lab, "/a.bin", target).status, 0);
}

// The package server set as common servers are: one address holds at most N control connections,
// one more is answered with 421 and closed while the others go on, a connection that ends makes
// room for a new one, and clear lifts the limit.
TEST(LabPackageServer, ControlConnectionsPerAddressAreLimited) {
  Lab lab(uniqueLabName("lab-ftp-per-address"));
  ASSERT_TRUE(lab.ok()) << lab.startError();
  NetnsScope scope(lab);
  ASSERT_TRUE(scope.ok());
  for (int limit : {1, 2}) {
    SCOPED_TRACE(limit);
    ASSERT_TRUE(lab.ftpFault({"max-per-address", std::to_string(limit)}));
    std::vector<std::unique_ptr<FtpControl>> open;
    for (int i = 0; i < limit; ++i) {
      open.push_back(std::make_unique<FtpControl>());
      ASSERT_TRUE(open.back()->login()) << "connection " << i + 1;
    }
    {
      FtpControl turnedAway;
      const std::string answer = turnedAway.reply();
      EXPECT_EQ(answer, "421 Too many connections from this address");
      // Once turned away, the connection is closed (read only then: a greeted one stays open).
      if (answer.starts_with("421 ")) {
        EXPECT_EQ(turnedAway.reply(), "") << "left open after the 421";
      }
    }
    EXPECT_TRUE(open.front()->command("PWD").starts_with("257 "));
    EXPECT_TRUE(open.front()->command("QUIT").starts_with("221 "));
    EXPECT_EQ(open.front()->reply(), "");  // the server has closed it
    FtpControl next;
    EXPECT_TRUE(next.login()) << "no room after a connection ended";
  }
  FtpControl one;
  ASSERT_TRUE(one.login());
  ASSERT_TRUE(lab.ftpFault({"clear"}));
  FtpControl two;
  EXPECT_TRUE(two.login()) << "still limited after clear";
}

// A package rebuilt under its name keeps its size and stays a sound zip with other bytes; its
// time is newer, or with --keep-time (an upload client that preserves times) the old one, so that
// neither SIZE nor MDTM tells the change.
TEST(LabPackageServer, RebuildKeepsTheSizeAndWithKeepTimeTheTime) {
  Lab lab(uniqueLabName("lab-ftp-rebuild"));
  ASSERT_TRUE(lab.ok()) << lab.startError();
  const std::string path = "/ProcessEquipment/QMServer/55/QMServer_V3.1.zip";
  const std::string file = lab.ftpRoot() + path;
  NetnsScope scope(lab);
  ASSERT_TRUE(scope.ok());
  // The server's SIZE and MDTM replies for the package.
  auto sizeAndTime = [&] {
    FtpControl control;
    if (!control.login() || !control.command("TYPE I").starts_with("200 "))
      return std::pair<std::string, std::string>();
    return std::pair(control.command("SIZE " + path), control.command("MDTM " + path));
  };
  struct Row {
    std::vector<std::string> fault;
    bool sameTime;
  } rows[] = {{{"rebuild", path}, false}, {{"rebuild", path, "--keep-time"}, true}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.sameTime ? "--keep-time" : "a newer time");
    ASSERT_EQ(lab.fixture({"packages"}).status, 0);
    // An upload a while ago, so that a rebuild's own time would show.
    const timespec published[2] = {{1793491200, 123456789}, {1793491200, 123456789}};
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), published, 0), 0);
    const std::string before = readText(file);
    const auto [sizeReply, timeReply] = sizeAndTime();
    ASSERT_EQ(timeReply, "213 20261101000000");
    ASSERT_EQ(sizeReply, "213 " + std::to_string(before.size()));
    ASSERT_TRUE(lab.ftpFault(row.fault));
    const std::string after = readText(file);
    EXPECT_EQ(after.size(), before.size());
    EXPECT_FALSE(after == before);
    ProcessResult tested = runProcess({"unzip", "-tq", file});
    EXPECT_EQ(tested.status, 0) << tested.out;
    const auto [sizeAfter, timeAfter] = sizeAndTime();
    EXPECT_EQ(sizeAfter, sizeReply);
    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    if (row.sameTime) {
      EXPECT_EQ(timeAfter, timeReply);
      EXPECT_EQ(info.st_mtim.tv_sec, published[1].tv_sec);
      EXPECT_EQ(info.st_mtim.tv_nsec, published[1].tv_nsec);
    } else {
      EXPECT_GT(timeAfter, timeReply);
    }
  }
  EXPECT_FALSE(lab.ftpFault({"refuse-login", "--keep-time"}));
}

struct UnitCase {
  const char* unit;
  const char* uid;
  const char* code;
  const char* board;
  const char* label;
  const char* ssh;
};

void PrintTo(const UnitCase& unit, std::ostream* out) { *out << unit.unit << " " << unit.ssh; }

class LabFixtures : public ::testing::TestWithParam<UnitCase> {};

// The ZR fixtures behave on the device the way the workflows expect, with either SSH server and
// its tools: the bundle's SystemRead writes the same report the unit already holds, the report
// answers the UID, model and board queries, the scripts leave their evidence and Lumora4 runs
// until it is stopped.
TEST_P(LabFixtures, ZrUnitAndPackagesWorkOnTheDevice) {
  const UnitCase& unit = GetParam();
  Lab lab(uniqueLabName("lab-fixture"), "zr", unit.ssh);
  ASSERT_TRUE(lab.ok()) << lab.startError();
  ASSERT_EQ(lab.fixture({"packages"}).status, 0);
  ProcessResult laid = lab.fixture({"device-zr", "--unit", unit.unit});
  ASSERT_EQ(laid.status, 0) << laid.err;
  EXPECT_EQ(lab.device("pgrep -x Lumora4 >/dev/null").status, 0);

  std::string report = readText(lab.devicePath("opt/sys.log"));
  std::string quorvex = lab.ftpRoot() + "/ProcessEquipment/Quorvex/";
  EXPECT_EQ(readText(quorvex + "DriverAndLib_LatestVersion.txt"), "DriverAndLib_V1.2.0.zip");
  fs::copy_file(quorvex + "DriverAndLib_V1.2.0.zip", lab.devicePath("opt/DriverAndLib_V1.2.0.zip"));
  ProcessResult installed = ssh(lab, "root", "tqowmb",
                                "unzip -q /opt/DriverAndLib_V1.2.0.zip -d /opt/ && "
                                "cd /opt/Install_driverandlib/dependency/ && "
                                "sh install_zelkapi_lib.sh && "
                                "/opt/Install_driverandlib/SystemRead > /opt/sys.log");
  ASSERT_EQ(installed.status, 0) << installed.err;
  EXPECT_EQ(readText(lab.devicePath("opt/sys.log")), report);

  std::string code = unit.code;
  ProcessResult queries = ssh(lab, "root", "tqowmb",
                              "cat /opt/sys.log |grep DeviceUID | awk '{print $3}'; "
                              "cat /opt/sys.log | grep Model | awk '{print $3}'; "
                              "cat /opt/sys.log | grep " +
                                  code + " | sed -n '1p' | awk '{print $3}'; pkill Lumora4");
  EXPECT_EQ(queries.status, 0) << queries.err;
  EXPECT_EQ(queries.out, std::string(unit.uid) + "\n" + code + "\n" + unit.board + "\n");
  EXPECT_NE(lab.device("pgrep -x Lumora4").status, 0);

  std::string config = lab.ftpRoot() + "/ProcessEquipment/ZRConfig/55/EU/";
  EXPECT_EQ(readText(config + "ZRConfig_LatestVersion.txt"), "ZRConfig_EU_V2.0.zip");
  fs::copy_file(config + "ZRConfig_EU_V2.0.zip",
                lab.devicePath("home/tqowmb/ZRConfig_EU_V2.0.zip"));
  ProcessResult tool = ssh(lab, "tqowmb", "tqowmb",
                           "unzip -q /home/tqowmb/ZRConfig_EU_V2.0.zip -d /home/tqowmb/ && "
                           "cd /home/tqowmb/ZRConfig_EU_V2.0/ ; sh ./install.sh");
  EXPECT_EQ(tool.status, 0) << tool.err;

  std::string unitFolder = lab.ftpRoot() + "/DeviceDataBase/" + unit.label + "/" + unit.uid + "/";
  EXPECT_EQ(readText(unitFolder + "Cal_LatestFileLog.txt").substr(0, 13), "Cal_20261101\n");
  fs::copy_file(unitFolder + "ConfigFile/shared.ini", lab.devicePath("opt/CalFile/shared.ini"));
  EXPECT_NE(readText(unitFolder + "ConfigFile/shared.ini"),
            readText(unitFolder + "Cal_20261101/shared.ini"));
  ProcessResult fixed = ssh(lab, "root", "tqowmb", "sh /opt/QMServer/shell/ZR_FixCalFile.sh");
  EXPECT_EQ(fixed.status, 0) << fixed.err;

  EXPECT_EQ(readText(lab.devicePath("var/log/lab-evidence.log")),
            "install_zelkapi_lib.sh root /opt/Install_driverandlib/dependency\n"
            "ZRConfig_EU_V2.0/install.sh tqowmb /home/tqowmb/ZRConfig_EU_V2.0\n"
            "ZR_FixCalFile.sh root /root\n"
            "ZR_FixCalFile.sh ls: shared.ini\n");
}

INSTANTIATE_TEST_SUITE_P(
    Units, LabFixtures,
    ::testing::Values(UnitCase{"u51", "7F3A90C1", "51", "K700MB", "K700_R5_V3(051)", "openssh"},
                      UnitCase{"u12", "A1B2C3D4", "12", "ZRMB-A", "ZRMB-A(012)", "openssh"},
                      UnitCase{"u12", "A1B2C3D4", "12", "ZRMB-A", "ZRMB-A(012)", "dropbear"}),
    [](const ::testing::TestParamInfo<UnitCase>& unitCase) {
      return std::string(unitCase.param.unit) + "_" + unitCase.param.ssh;
    });

// A unit with Dropbear: each account's commands run under BusyBox's sh, every tool the workflows
// call is a BusyBox applet found first on the PATH that Dropbear sets, pkill is procps's, and the
// library's own client logs in, runs commands and uploads through Dropbear's small channel window.
TEST(LabDropbear, AccountsRunBusyBoxAndTheLibraryUploads) {
  Lab lab(uniqueLabName("lab-dropbear"), "zr", "dropbear");
  ASSERT_TRUE(lab.ok()) << lab.startError();
  const std::string tools =
      "readlink /proc/$$/exe; "
      "for c in sh unzip rm mkdir chmod ls grep awk cat id sleep; do "
      "readlink -f \"$(command -v $c)\"; done | uniq; pkill -V | grep -c procps; id -un; pwd";
  for (const auto& [user, home] : {std::pair{"root", "/root"}, {"tqowmb", "/home/tqowmb"}}) {
    ProcessResult shell = ssh(lab, user, "tqowmb", tools);
    ASSERT_EQ(shell.status, 0) << shell.err;
    EXPECT_EQ(shell.out,
              "/usr/bin/busybox\n/usr/bin/busybox\n1\n" + std::string(user) + "\n" + home + "\n");
  }
  EXPECT_NE(readText(lab.dir() + "/dropbear.log").find("Password auth succeeded for 'tqowmb'"),
            std::string::npos);

  TempDir local;
  std::string data = patterned(200000);  // several of Dropbear's 24 KiB windows
  writeText(local.path() + "/data.bin", data);
  NetnsScope scope(lab);
  ASSERT_TRUE(scope.ok());
  SshLink link;
  ASSERT_EQ(link.open(PROVISION_DEVICE_HOST, "root", "tqowmb"), kSshOk);
  ASSERT_EQ(link.uploadFile(local.path() + "/data.bin", "/opt/data.bin", false), kSshOk);
  std::string out;
  int status = kNoExitStatus;
  EXPECT_EQ(link.runCommand("wc -c < /opt/data.bin; exit 3", out, status), kSshOk);
  EXPECT_EQ(out, "200000\n");
  EXPECT_EQ(status, 3);
  link.close();
  EXPECT_TRUE(readText(lab.devicePath("opt/data.bin")) == data);
}

TEST(LabFixtureContent, QmUnitInstallsTheServerPackageAndContentIsDeterministic) {
  Lab lab(uniqueLabName("lab-fixture-qm"), "qm");
  ASSERT_TRUE(lab.ok()) << lab.startError();
  ASSERT_EQ(lab.fixture({"packages"}).status, 0);
  ASSERT_EQ(lab.fixture({"device-qm"}).status, 0);
  std::string server = lab.ftpRoot() + "/ProcessEquipment/QMServer/55/";
  EXPECT_EQ(readText(server + "QMServer_LatestVersion.txt"), "QMServer_V3.1.zip");
  std::string package = readText(server + "QMServer_V3.1.zip");
  ASSERT_EQ(lab.fixture({"packages"}).status, 0);
  EXPECT_TRUE(readText(server + "QMServer_V3.1.zip") == package) << "content differs between runs";

  fs::copy_file(server + "QMServer_V3.1.zip", lab.devicePath("root/QMServer_V3.1.zip"));
  ProcessResult installed = ssh(lab, "root", "lwzq",
                                "unzip -q QMServer_V3.1.zip && rm QMServer_V3.1.zip && "
                                "sh /root/QMServer/install.sh && "
                                "test -x /root/QMServer/bin/QMServer");
  EXPECT_EQ(installed.status, 0) << installed.err;
  EXPECT_EQ(readText(lab.devicePath("var/log/lab-evidence.log")),
            "QMServer/install.sh root /root\n");
  EXPECT_NE(lab.fixture({"device-qm", "--unit", "u12"}).status, 0);
}

// The line of `text` that holds `needle`; empty when none does.
std::string lineWith(const std::string& text, const std::string& needle) {
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);)
    if (line.find(needle) != std::string::npos) return line;
  return "";
}

// The package fixture's variants, each on the three kinds of package, and a ZR unit without a UID
// whose fix-up script fails, on the Dropbear device with BusyBox's unzip.
TEST(LabFixtureContent, PackageVariantsAndAUnitWithoutUid) {
  Lab lab(uniqueLabName("lab-fixture-variants"), "zr", "dropbear");
  ASSERT_TRUE(lab.ok()) << lab.startError();
  struct Package {
    std::string path;  // under the server's /ProcessEquipment/
    std::string top;
    std::string script;  // a file in the top folder
    std::string program;
  } packages[] = {
      {"Quorvex/DriverAndLib_V1.2.0.zip", "Install_driverandlib", "SystemRead",
       "Install_driverandlib/lib/libzelkapi.so.1"},
      {"QMServer/55/QMServer_V3.1.zip", "QMServer", "install.sh", "QMServer/bin/QMServer"},
      {"ZRConfig/55/CN/ZRConfig_CN_V2.0.zip", "ZRConfig_CN_V2.0", "install.sh",
       "ZRConfig_CN_V2.0/ZRConfig.bin"},
      {"ZRConfig/55/EU/ZRConfig_EU_V2.0.zip", "ZRConfig_EU_V2.0", "install.sh",
       "ZRConfig_EU_V2.0/ZRConfig.bin"},
  };
  auto zipPath = [&](const Package& package) {
    return lab.ftpRoot() + "/ProcessEquipment/" + package.path;
  };
  ASSERT_EQ(lab.fixture({"packages"}).status, 0);
  std::vector<std::string> sound;
  for (const Package& package : packages) sound.push_back(readText(zipPath(package)));

  ASSERT_EQ(lab.fixture({"packages", "--flipped-byte"}).status, 0);
  for (const Package& package : packages) {
    SCOPED_TRACE(package.path);
    ProcessResult tested = runProcess({"unzip", "-t", zipPath(package)});
    EXPECT_EQ(tested.status, 2);
    EXPECT_NE(lineWith(tested.out, package.program).find("bad CRC"), std::string::npos)
        << tested.out;
    EXPECT_NE(lineWith(runProcess({"unzip", "-v", zipPath(package)}).out, package.program)
                  .find(" Stored "),
              std::string::npos);
  }
  // BusyBox's unzip does not check a stored entry's CRC-32.
  fs::copy_file(zipPath(packages[1]), lab.devicePath("root/flipped.zip"));
  EXPECT_EQ(ssh(lab, "root", "tqowmb", "unzip -q flipped.zip && rm -r flipped.zip QMServer").status,
            0);

  ASSERT_EQ(lab.fixture({"packages", "--mac-made"}).status, 0);
  for (const Package& package : packages) {
    SCOPED_TRACE(package.path);
    EXPECT_EQ(runProcess({"unzip", "-t", zipPath(package)}).status, 0);
    std::string listing = runProcess({"unzip", "-v", zipPath(package)}).out;
    EXPECT_NE(lineWith(listing, " __MACOSX/._" + package.top).find("Defl:N"), std::string::npos)
        << listing;
    EXPECT_NE(lineWith(listing, " __MACOSX/" + package.top + "/._" + package.script).find("Defl:N"),
              std::string::npos)
        << listing;
  }
  // Unpacked twice, as an installation that removes only the top folder leaves it, the package
  // meets its own __MACOSX files and unzip asks.
  fs::copy_file(zipPath(packages[1]), lab.devicePath("root/mac.zip"));
  ProcessResult twice =
      ssh(lab, "root", "tqowmb", "unzip -q mac.zip && rm -r /root/QMServer* && unzip mac.zip 2>&1");
  EXPECT_NE(twice.status, 0);
  EXPECT_NE(twice.out.find("replace __MACOSX/._QMServer?"), std::string::npos) << twice.out;

  ASSERT_EQ(lab.fixture({"packages"}).status, 0);
  for (size_t i = 0; i < std::size(packages); ++i)
    EXPECT_TRUE(readText(zipPath(packages[i])) == sound[i]) << packages[i].path;

  ASSERT_EQ(lab.fixture({"device-zr", "--unit", "u12", "--no-uid", "--fix-exit", "3"}).status, 0);
  const std::string report = readText(lab.devicePath("opt/sys.log"));
  EXPECT_EQ(report,
            "Board : ZRMB-A 12\nModel : 12\nProduct : ZR measuring unit\nKernel : lab\n"
            "Status : ready\n");
  fs::copy_file(zipPath(packages[0]), lab.devicePath("opt/DriverAndLib_V1.2.0.zip"));
  ProcessResult read = ssh(lab, "root", "tqowmb",
                           "unzip -q /opt/DriverAndLib_V1.2.0.zip -d /opt/ && "
                           "/opt/Install_driverandlib/SystemRead");
  EXPECT_EQ(read.status, 0) << read.err;
  EXPECT_EQ(read.out, report);
  ProcessResult fixed = ssh(lab, "root", "tqowmb", "sh /opt/QMServer/shell/ZR_FixCalFile.sh");
  EXPECT_EQ(fixed.status, 3);
  EXPECT_EQ(readText(lab.devicePath("var/log/lab-evidence.log")),
            "ZR_FixCalFile.sh root /root\nZR_FixCalFile.sh ls:\n");
}

// A unit without sha256sum: over SSH (the login shell and its PATH), for root and the ordinary
// user, and inside the device it fails as a missing command does, while the other tools stay;
// clear gives it back.
TEST(LabDeviceTools, HiddenSha256sumIsMissingUntilCleared) {
  for (const char* server : {"openssh", "dropbear"}) {
    SCOPED_TRACE(server);
    Lab lab(uniqueLabName("lab-tool-hide"), "zr", server);
    ASSERT_TRUE(lab.ok()) << lab.startError();
    writeText(lab.devicePath("opt/x"), "x\n");
    const std::string digest = runProcess({"sha256sum", "--", "x"}, lab.devicePath("opt")).out;
    const std::string command = "cd /opt && sha256sum -- x";
    ASSERT_EQ(ssh(lab, "root", "tqowmb", command).out, digest);

    ASSERT_TRUE(lab.deviceTool({"hide", "sha256sum"}));
    for (const char* user : {"root", "tqowmb"}) {
      SCOPED_TRACE(user);
      ProcessResult missing = ssh(lab, user, "tqowmb", command);
      EXPECT_EQ(missing.status, 127);
      EXPECT_NE(missing.err.find("not found"), std::string::npos) << missing.err;
      EXPECT_EQ(missing.out, "");
    }
    EXPECT_EQ(lab.device(command).status, 127);
    EXPECT_EQ(ssh(lab, "root", "tqowmb", "cd /opt && md5sum x && ls x").status, 0);
    EXPECT_FALSE(lab.deviceTool({"hide", "ls"}));

    ASSERT_TRUE(lab.deviceTool({"clear"}));
    EXPECT_EQ(ssh(lab, "tqowmb", "tqowmb", command).out, digest);
    EXPECT_EQ(lab.device(command).out, digest);
  }
}

// A unit whose unzip damages what it has unpacked: unzip ends as usual, and the file named is the
// archive's but for its middle byte, inverted (here to a NUL), wherever unzip unpacks (-d or the
// current folder, as the installs call it) and whoever runs it; a failing unzip keeps its status
// and changes nothing; clear gives the plain unzip back.
TEST(LabDeviceTools, UnzipAltersTheMiddleByteOfTheNamedFileUntilCleared) {
  std::string program = patterned(5001);
  program[2500] = '\xff';
  const std::string archive = makeZip(
      {{"pkg/", ""}, {"pkg/run.sh", "echo run\n"}, {"pkg/bin/", ""}, {"pkg/bin/server", program}});
  std::string altered = program;
  altered[2500] = '\0';
  struct Row {
    const char* user;
    const char* archive;  // device path
    const char* command;
    const char* into;  // the device folder unzip unpacks into
  } rows[] = {
      {"root", "root/pkg.zip", "cd /root && unzip -o pkg.zip", "root"},
      {"root", "opt/pkg.zip", "unzip -o '/opt/pkg.zip' -d /opt/ ", "opt"},
      {"tqowmb", "home/tqowmb/pkg.zip", "unzip -o /home/tqowmb/pkg.zip -d /home/tqowmb/ ",
       "home/tqowmb"},
  };
  for (const char* server : {"openssh", "dropbear"}) {
    SCOPED_TRACE(server);
    Lab lab(uniqueLabName("lab-tool-unzip"), "zr", server);
    ASSERT_TRUE(lab.ok()) << lab.startError();
    auto unzipAs = [&](const Row& row) {
      return std::string(row.user) == "root" ? lab.device(row.command)
                                             : ssh(lab, row.user, "tqowmb", row.command);
    };
    ASSERT_TRUE(lab.deviceTool({"alter-after-unzip", "pkg/bin/server"}));
    for (const Row& row : rows) {
      SCOPED_TRACE(row.command);
      writeText(lab.devicePath(row.archive), archive);
      ProcessResult unzipped = unzipAs(row);
      EXPECT_EQ(unzipped.status, 0) << unzipped.err;
      const std::string into = lab.devicePath(row.into) + "/pkg/";
      EXPECT_TRUE(readText(into + "bin/server") == altered);
      EXPECT_EQ(readText(into + "run.sh"), "echo run\n");
    }
    const std::string failing = "cd /root && unzip -o no-such.zip";
    const int failed = lab.device(failing).status;
    EXPECT_NE(failed, 0);
    EXPECT_TRUE(readText(lab.devicePath("root/pkg/bin/server")) == altered);
    EXPECT_FALSE(lab.deviceTool({"alter-after-unzip", "../etc/x"}));

    ASSERT_TRUE(lab.deviceTool({"clear"}));
    EXPECT_EQ(lab.device(failing).status, failed);
    for (const Row& row : rows) {
      SCOPED_TRACE(row.command);
      EXPECT_EQ(unzipAs(row).status, 0);
      EXPECT_TRUE(readText(lab.devicePath(row.into) + "/pkg/bin/server") == program);
    }
  }
}

// Connects to the device's SSH port from the calling thread's network: 0, or the error.
int connectError() {
  int sock = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in device{};
  device.sin_family = AF_INET;
  device.sin_port = htons(22);
  ::inet_pton(AF_INET, PROVISION_DEVICE_HOST, &device.sin_addr);
  int error = ::connect(sock, reinterpret_cast<sockaddr*>(&device), sizeof device) == 0 ? 0 : errno;
  ::close(sock);
  return error;
}

// Calls connectError() every 20 ms while it gives `error` (at most `tries` times); returns the
// first other result.
int connectErrorOtherThan(int error, int tries) {
  int result = error;
  for (int i = 0; i < tries && (result = connectError()) == error; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  return result;
}

// A device whose SSH server restarts refuses new connections at once for the time given, from
// now or once an upload has come so far, while a connection already open goes on.
TEST(LabSshRefusal, NewConnectionsAreResetForAWhileOpenOnesGoOn) {
  Lab lab(uniqueLabName("lab-refuse-ssh"));
  ASSERT_TRUE(lab.ok()) << lab.startError();
  NetnsScope scope(lab);
  ASSERT_TRUE(scope.ok());
  SshLink open;
  ASSERT_EQ(open.open(PROVISION_DEVICE_HOST, "root", "lwzq"), kSshOk);
  std::string out;

  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(lab.refuseSsh(2));
  EXPECT_EQ(connectError(), ECONNREFUSED);
  EXPECT_EQ(open.runCommand("echo open", out), kSshOk);
  EXPECT_EQ(connectErrorOtherThan(ECONNREFUSED, 3000), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));

  ASSERT_TRUE(lab.refuseSshAfter(1000, "/opt/.provision-*.part", 600));
  EXPECT_EQ(connectError(), 0) << "refused before the file grew";
  writeText(lab.devicePath("opt/.provision-1.part"), std::string(1000, 'x'));
  EXPECT_EQ(connectErrorOtherThan(0, 3000), ECONNREFUSED);
  EXPECT_EQ(open.runCommand("echo still open", out), kSshOk);
  EXPECT_EQ(out, "open\nstill open\n");
  ASSERT_TRUE(lab.acceptSsh());
  EXPECT_EQ(connectError(), 0);
}

ino_t netnsInode(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

TEST(LabNetns, ScopeEntersTheLabNetworkAndLeavesIt) {
  Lab lab(uniqueLabName("lab-netns"));
  ASSERT_TRUE(lab.ok()) << lab.startError();
  ino_t outside = netnsInode("/proc/thread-self/ns/net");
  ino_t labNet = netnsInode("/run/netns/provlab-" + lab.name());
  ASSERT_NE(labNet, outside);
  {
    NetnsScope scope(lab);
    ASSERT_TRUE(scope.ok());
    EXPECT_EQ(netnsInode("/proc/thread-self/ns/net"), labNet);
    int sock = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in device{};
    device.sin_family = AF_INET;
    device.sin_port = htons(22);
    ::inet_pton(AF_INET, PROVISION_DEVICE_HOST, &device.sin_addr);
    EXPECT_EQ(::connect(sock, reinterpret_cast<sockaddr*>(&device), sizeof device), 0);
    ::close(sock);
  }
  EXPECT_EQ(netnsInode("/proc/thread-self/ns/net"), outside);
}

TEST(RunProcess, ReadsBothStreamsFullyAndReportsTheStatus) {
  ProcessResult big = runProcess(
      {"sh", "-c", "head -c 1048576 /dev/zero; head -c 2097152 /dev/zero >&2; echo x; exit 3"});
  EXPECT_EQ(big.status, 3);
  EXPECT_EQ(big.out.size(), 1048576u + 2);
  EXPECT_EQ(big.err.size(), 2097152u);
  EXPECT_FALSE(big.timedOut);

  TempDir dir;
  EXPECT_EQ(runProcess({"pwd"}, dir.path()).out, dir.path() + "\n");
  EXPECT_EQ(runProcess({"no-such-program-here"}).status, 127);
  EXPECT_EQ(runProcess({"sh", "-c", "kill -TERM $$"}).status, 128 + SIGTERM);
}

TEST(RunProcess, TimeoutKillsTheWholeProcessGroup) {
  std::string seconds = "3001." + std::to_string(::getpid());
  ProcessResult slow = runProcess({"sh", "-c", "sleep " + seconds + " & sleep " + seconds}, "", 1);
  EXPECT_TRUE(slow.timedOut);
  EXPECT_LT(slow.seconds, 60);  // not the sleeps' 3001 s
  for (int i = 0; i < 100 && findProcess(std::string("sleep\0", 6) + seconds) != 0; ++i)
    ::usleep(20000);
  EXPECT_EQ(findProcess(std::string("sleep\0", 6) + seconds), 0);
}

}  // namespace
}  // namespace provision::test
