#include "ftp/ftp_source.h"

#include <iostream>
#include <optional>
#include <system_error>

#include "ftp/download_progress.h"
#include "ftp/folder_listing.h"
#include "ftp/ftp_client.h"
#include "log/advice.h"
#include "log/run_log.h"
#include "log/text.h"
#include "settings/settings.h"
#include "workspace/filesystem.h"
#include "workspace/workspace.h"

namespace provision {
namespace {

// Fetches into a temporary file beside the target, gives it the server's time, and renames it over
// the target only when the whole file arrived and `vet` accepts it, so the target is never partial
// and an earlier copy survives a failure. `refused` tells a copy that `vet` refused.
FtpError fetchReplacing(FtpClient& client, const std::string& remotePath,
                        const std::string& localFolder, const std::string& name,
                        const FtpSource::Vet& vet, const FtpProgress& progress, bool& refused) {
  refused = false;
  if (!isSafeLocalName(name)) return client.localFileError();
  const std::string temporary = localFolder + kSep + makePartialName();
  std::optional<std::int64_t> modified;
  FtpError code = client.fetch(remotePath, temporary, modified, progress);
  if (code != kFtpOk) {
    removeLocalFile(temporary);
    return code;
  }
  // A later run tells the server's copy from another by its size and this time. A copy whose time
  // cannot be set is fetched again then, which is all it costs.
  if (modified) setModifiedTime(temporary, *modified);
  if (vet && !vet(temporary)) {
    removeLocalFile(temporary);
    refused = true;
    return kFtpOk;
  }
  std::error_code renameError;
  std::filesystem::rename(toFsPath(temporary), toFsPath(localFolder + kSep + name), renameError);
  if (!renameError) return kFtpOk;
  removeLocalFile(temporary);
  return client.localFileError();
}

}  // namespace

FtpSource::FtpSource(const FtpWaits& waits)
    : host_(settings.ftpHost),
      user_(settings.ftpUser),
      password_(settings.ftpPassword),
      waits_(waits),
      client_(makeFtpClient(waits)) {}

FtpSource::~FtpSource() { close(); }

int FtpSource::open() {
  client_ = makeFtpClient(waits_);
  switch (client_->connect(host_, user_, password_)) {
    case FtpConnect::Connected:
      return 0;
    case FtpConnect::Failed:
      std::cerr << "InternetConnect failed. Error: " << client_->error() << std::endl;
      noteFailure(client_->error());
      reportStall(client_->stallOf(client_->error(), true), "the connection");
      return -1;
    case FtpConnect::Unavailable:
      return -1;
  }
  return -1;
}

int FtpSource::downloadFile(const std::string& remotePath, const std::string& localFolder,
                            const Vet& vet) {
  const std::string name = fileNameOf(remotePath);
  // Its progress on the console, when standard error is one.
  std::optional<DownloadProgress> shown;
  FtpProgress progress;
  if (settings.downloadProgress) {
    shown.emplace(name, writeToConsole);
    progress = [&shown](std::uint64_t received, std::uint64_t total) {
      shown->update(received, total);
    };
  }
  bool refused = false;
  FtpError code = fetchReplacing(*client_, remotePath, localFolder, name, vet, progress, refused);
  if (shown) shown->finish();
  if (refused) return kDownloadRefused;
  if (code == kFtpOk) return 0;
  std::cerr << "FtpGetFile failed. Error: " << code << std::endl;
  explainFailure(code, localFolder);
  reportStall(client_->stallOf(code, false), "the download of " + remotePath);
  return -1;
}

int FtpSource::describeRemote(const std::string& remotePath, FtpFileFacts& facts) {
  const FtpError code = client_->describe(remotePath, facts);
  if (code == kFtpOk) return 0;
  noteFailure(code);
  reportStall(client_->stallOf(code, false), "the size and time request of " + remotePath);
  return -1;
}

int FtpSource::downloadFolder(const std::string& remoteFolder, const std::string& localFolder) {
  return fetchFolder(remoteFolder, localFolder).outcome == FolderFetch::Complete ? 0 : -1;
}

FolderFetch FtpSource::fetchFolder(const std::string& remoteFolder,
                                   const std::string& localFolder) {
  std::vector<FtpEntry> entries;
  FtpError code = client_->list(remoteFolder, entries);
  if (code != kFtpOk) {
    std::cerr << "FtpFindFirstFile failed. Error: " << code << std::endl;
    explainFailure(code, localFolder);
    reportStall(client_->stallOf(code, false), "the listing of " + remoteFolder);
    return {client_->isAbsent(code) ? FolderFetch::Absent : FolderFetch::Failed, remoteFolder};
  }
  FolderFetch fetched{FolderFetch::Complete, {}};
  for (const FtpEntry& entry : entries) {
    const std::string remotePath = remoteFolder + "/" + entry.name;
    switch (useOfEntry(entry)) {
      case EntryUse::Skip:
        if (entry.isFolder && entry.name != "." && entry.name != "..")
          fetched.folders.push_back(entry.name);
        break;
      case EntryUse::Refuse:
        std::cerr << "Skipped a server file whose name is unsafe locally: " << printable(remotePath)
                  << std::endl;
        break;
      case EntryUse::Fetch:
        if (downloadFile(remotePath, localFolder) != 0) return {FolderFetch::Failed, remotePath};
        break;
    }
  }
  return fetched;
}

void FtpSource::close() {
  if (client_) client_->disconnect();
}

void FtpSource::noteFailure(FtpError code) {
  lastError_ = code;
  lastFailure_ = client_->failureOf(code);
}

void FtpSource::explainFailure(FtpError code, const std::string& localFolder) {
  noteFailure(code);
  // A folder that collects a set on its way is named by the folder the technician knows.
  std::string folder = withoutTrailingSeparator(localFolder);
  const size_t separator = folder.rfind(kSep);
  if (separator != std::string::npos && isPartialDownloadName(folder.substr(separator + 1)))
    folder.resize(separator);
  switch (lastFailure_) {
    case FtpFailure::ConnectBack:
      advice::explainOnce(advice::serverCannotConnectBack(host_, code));
      break;
    case FtpFailure::DiskFull:
      advice::explainOnce(advice::diskFull(folder, code));
      break;
    case FtpFailure::NotWritable:
      advice::explainOnce(advice::folderNotWritable(folder, code));
      break;
    default:
      break;
  }
}

void FtpSource::reportStall(FtpStall stall, const std::string& step) {
  if (stall == FtpStall::None) return;
  const auto waited = stall == FtpStall::Connect ? waits_.connect : waits_.transfer;
  writeLog("The package server stopped answering during " + step + " (no reply for " +
               formatSeconds(waited) + ")",
           kLogError);
  // The connection is given up: later calls fail at once instead of waiting again.
  client_->disconnect();
}

ServerAnswer checkPackageServer(FtpSource& server) {
  if (server.open() == 0) return {ServerAtStartUp::Answered};
  return {server.lastFailure() == FtpFailure::LoginRefused ? ServerAtStartUp::RefusedLogin
                                                           : ServerAtStartUp::DidNotAnswer,
          server.lastError()};
}

}  // namespace provision
