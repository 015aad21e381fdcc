// The benchmark's driver: runs one transfer with the library's own clients, measures the round
// trip of a link, or times another program. bench/run calls it inside a lab's network namespace.
//
//   provision_bench upload HOST LOCAL_FILE REMOTE_PATH   SshLink::uploadFile as root (QM password)
//   provision_bench download REMOTE_PATH LOCAL_FOLDER    FtpSource::downloadFile
//   provision_bench check LOCAL_ARCHIVE                  the package check before an upload
//   provision_bench rtt HOST COUNT                       median time of one SFTP round trip
//   provision_bench time CMD [ARG...]                    runs CMD, prints its wall time
//   provision_bench watch PATH SIZE                      on the device: time from the file's first
//                                                        byte to its full size
//
// Each prints one line of "key value" pairs on standard output; the exit status is 0 only when the
// operation succeeded. upload, download and check also report the process's own processor time and
// peak memory. The Windows build (driver_platform-win32.cc) runs the transfers under Wine; time and
// watch belong to the Linux host and the device.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "device/device_account.h"
#include "device/ssh_link.h"
#include "driver_platform.h"
#include "ftp/ftp_source.h"
#include "package/package_archive.h"

namespace provision::bench {
namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void report(int status, Clock::time_point start) {
  std::printf("status %d seconds %.3f cpu_seconds %.3f peak_rss_kib %ld\n", status,
              secondsSince(start), cpuSeconds(), peakMemoryKib());
}

int upload(const std::string& host, const std::string& local, const std::string& remote) {
  Clock::time_point start = Clock::now();
  SshLink link;
  int status = link.open(host, kRootUser, kQmRootPassword);
  if (status == kSshOk) status = link.uploadFile(local, remote, false);
  link.close();
  report(status, start);
  return status == kSshOk ? 0 : 1;
}

int download(const std::string& remote, const std::string& folder) {
  Clock::time_point start = Clock::now();
  FtpSource source;
  int status = source.open();
  if (status == 0) status = source.downloadFile(remote, folder);
  source.close();
  report(status, start);
  return status == 0 ? 0 : 1;
}

// Each removal of a file that is not there takes exactly one SFTP round trip: the request, and
// the server's status reply.
int roundTrip(const std::string& host, int count) {
  SshLink link;
  if (link.open(host, kRootUser, kQmRootPassword) != kSshOk) {
    std::fprintf(stderr, "provision_bench: cannot open an SFTP session to %s\n", host.c_str());
    return 1;
  }
  std::vector<double> micros;
  for (int i = 0; i < count; ++i) {
    Clock::time_point start = Clock::now();
    if (!link.removeFile("/opt/bench/round-trip-probe")) return 1;
    micros.push_back(secondsSince(start) * 1e6);
  }
  std::sort(micros.begin(), micros.end());
  std::printf("median_us %.0f min_us %.0f\n", micros[micros.size() / 2], micros.front());
  return 0;
}

// The size of the file at `path`, or -1 while it does not exist.
long long sizeOf(const std::string& path) {
  std::error_code error;
  auto size = std::filesystem::file_size(path, error);
  return error ? -1 : static_cast<long long>(size);
}

// Run inside the device, so that both clients' uploads are timed the same way, from where the
// data lands: from the first byte in the file to its full size. Polls every half millisecond.
int watchFile(const std::string& path, long long size) {
  constexpr auto kPoll = std::chrono::microseconds(500);
  constexpr auto kGiveUp = std::chrono::seconds(300);
  std::printf("ready\n");
  std::fflush(stdout);
  const Clock::time_point started = Clock::now();
  while (sizeOf(path) <= 0) {
    if (Clock::now() - started > kGiveUp) return 1;
    std::this_thread::sleep_for(kPoll);
  }
  const Clock::time_point firstByte = Clock::now();
  while (sizeOf(path) < size) {
    if (Clock::now() - started > kGiveUp) return 1;
    std::this_thread::sleep_for(kPoll);
  }
  std::printf("transfer_seconds %.4f\n", secondsSince(firstByte));
  return 0;
}

// The package check of a local archive, as the workflows run it before an upload.
int check(const std::string& path) {
  const Clock::time_point start = Clock::now();
  const double cpuStart = cpuSeconds();
  const ArchiveCheck result = checkPackageArchive(path);
  std::printf("status %d seconds %.3f cpu_seconds %.3f peak_rss_kib %ld\n", result.sound ? 0 : 1,
              secondsSince(start), cpuSeconds() - cpuStart, peakMemoryKib());
  if (!result.sound) std::fprintf(stderr, "provision_bench: %s\n", result.problem.c_str());
  return result.sound ? 0 : 1;
}

int usage() {
  std::fprintf(stderr,
               "usage: provision_bench upload HOST LOCAL_FILE REMOTE_PATH\n"
               "       provision_bench download REMOTE_PATH LOCAL_FOLDER\n"
               "       provision_bench check LOCAL_ARCHIVE\n"
               "       provision_bench rtt HOST COUNT\n"
               "       provision_bench time CMD [ARG...]\n"
               "       provision_bench watch PATH SIZE\n");
  return 2;
}

int run(int argc, char** argv) {
  if (argc < 2) return usage();
  std::string command = argv[1];
  if (command == "upload" && argc == 5) return upload(argv[2], argv[3], argv[4]);
  if (command == "download" && argc == 4) return download(argv[2], argv[3]);
  if (command == "check" && argc == 3) return check(argv[2]);
  if (command == "rtt" && argc == 4) return roundTrip(argv[2], std::max(1, std::atoi(argv[3])));
  if (command == "time" && argc >= 3) return timeCommand(argv + 2);
  if (command == "watch" && argc == 4) return watchFile(argv[2], std::atoll(argv[3]));
  return usage();
}

}  // namespace
}  // namespace provision::bench

int main(int argc, char** argv) { return provision::bench::run(argc, argv); }
