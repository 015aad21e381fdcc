#include "ftp/ftp_source.h"

#include <filesystem>
#include <iostream>
#include <optional>
#include <system_error>

#include "ftp/download_progress.h"
#include "log/advice.h"
#include "log/run_log.h"
#include "settings/settings.h"
#include "workspace/filesystem.h"
#include "workspace/local_name.h"
#include "workspace/partial_name.h"
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
  if (!isSafeLocalName(name)) return FtpClient::localFileError();
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
  return FtpClient::localFileError();
}

// The folder a technician knows for `localFolder`: a folder that collects a set on its way is
// named by the folder it is in.
std::string shownFolder(const std::string& localFolder) {
  std::string folder = withoutTrailingSeparator(localFolder);
  const size_t separator = folder.rfind(kSep);
  if (separator != std::string::npos && isPartialDownloadName(folder.substr(separator + 1)))
    folder.resize(separator);
  return folder;
}

std::string withCode(const std::string& text, FtpError code) {
  return text + " (error " + std::to_string(code) + ")";
}

}  // namespace

FtpSource::FtpSource(const FtpWaits& waits)
    : host_(settings.ftpHost),
      user_(settings.ftpUser),
      password_(settings.ftpPassword),
      waits_(waits),
      client_(waits) {}

FtpSource::~FtpSource() { close(); }

int FtpSource::open() {
  switch (client_.connect(host_, user_, password_)) {
    case FtpConnect::Connected:
      return 0;
    case FtpConnect::Failed:
      std::cerr << "InternetConnect failed. Error: " << client_.error() << std::endl;
      noteFailure(client_.error(), true);
      if (client_.failureOf(client_.error()) == FtpFailure::Stalled) {
        writeLog("The package server stopped answering during the connection (no reply for " +
                     formatSeconds(waits_.connect) + ")",
                 kLogError);
      }
      return -1;
    case FtpConnect::Unavailable:
      return -1;
  }
  return -1;
}

int FtpSource::reopen() { return client_.connected() ? 0 : open(); }

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
  const bool connected = client_.connected();
  FtpError code = fetchReplacing(client_, remotePath, localFolder, name, vet, progress, refused);
  if (shown) shown->finish();
  if (refused) return kDownloadRefused;
  if (code == kFtpOk) return 0;
  std::cerr << "FtpGetFile failed. Error: " << code << std::endl;
  noteFailure(code);
  if (connected) explainFailure(remotePath, localFolder);
  reportStall("the download of " + remotePath);
  return -1;
}

int FtpSource::readFile(const std::string& remotePath, std::size_t limit, std::string& content) {
  const bool connected = client_.connected();
  const FtpError code = client_.read(remotePath, limit, content);
  if (code == kFtpOk) return 0;
  noteFailure(code);
  if (lastFailure_ == FtpFailure::Missing) return kNotOnServer;
  std::cerr << "FtpGetFile failed. Error: " << code << std::endl;
  if (connected) explainFailure(remotePath, "");
  reportStall("the download of " + remotePath);
  return -1;
}

int FtpSource::describeRemote(const std::string& remotePath, FtpFileFacts& facts) {
  const bool connected = client_.connected();
  const FtpError code = client_.describe(remotePath, facts);
  if (code == kFtpOk) return 0;
  noteFailure(code);
  if (connected) explainFailure(remotePath, "");
  reportStall("the size and time request of " + remotePath);
  return -1;
}

int FtpSource::listFolder(const std::string& remoteFolder, std::vector<FtpEntry>& entries) {
  const bool connected = client_.connected();
  const FtpError code = client_.list(remoteFolder, entries);
  if (code == kFtpOk) return 0;
  std::cerr << "FtpFindFirstFile failed. Error: " << code << std::endl;
  noteFailure(code);
  // A folder that is not there, or not to be entered, is the caller's to explain.
  if (connected && lastFailure_ != FtpFailure::Missing && lastFailure_ != FtpFailure::NotEntered)
    explainFailure(remoteFolder + "/", "");
  reportStall("the listing of " + remoteFolder);
  return -1;
}

void FtpSource::close() { client_.disconnect(); }

std::string FtpSource::failureText() const {
  switch (lastFailure_) {
    case FtpFailure::Missing:
      return withCode("it is not there", lastError_);
    case FtpFailure::NotEntered:
      return withCode("the package server has no such folder, or refused to enter it", lastError_);
    case FtpFailure::Cut:
      return withCode("its transfer broke off before the whole file had arrived", lastError_);
    case FtpFailure::Stalled:
      return withCode("the package server stopped answering", lastError_);
    case FtpFailure::TurnedAway:
      return withCode("the package server turned the connection away with 421", lastError_);
    case FtpFailure::ConnectBack:
      return withCode("the package server could not connect back to this PC", lastError_);
    case FtpFailure::Unreachable:
      return withCode("the package server no longer answers", lastError_);
    case FtpFailure::DiskFull:
      return withCode("the disk of the data folder is full", lastError_);
    case FtpFailure::NotWritable:
      return withCode("the data folder cannot be written to", lastError_);
    case FtpFailure::LoginRefused:
    case FtpFailure::Other:
      break;
  }
  return withCode("the package server failed the request", lastError_);
}

void FtpSource::noteFailure(FtpError code, bool connecting) {
  lastError_ = code;
  lastFailure_ = client_.failureOf(code, connecting);
}

void FtpSource::explainFailure(const std::string& remotePath, const std::string& localFolder) {
  const FtpError code = lastError_;
  const std::string folder = shownFolder(localFolder);
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
    case FtpFailure::Cut:
      advice::explainOnce(advice::transferCut(host_, code));
      break;
    case FtpFailure::Missing:
      advice::explainOnce(advice::missingOnServer(remotePath, host_, code));
      break;
    case FtpFailure::TurnedAway:
      advice::explainOnce(advice::serverTurnedAway(host_, code));
      break;
    case FtpFailure::Stalled:
    case FtpFailure::Unreachable:
      advice::explainOnce(advice::serverStoppedAnswering(host_, code));
      break;
    default:
      break;
  }
}

void FtpSource::reportStall(const std::string& step) {
  if (lastFailure_ != FtpFailure::Stalled) return;
  writeLog("The package server stopped answering during " + step + " (no reply for " +
               formatSeconds(waits_.transfer) + ")",
           kLogError);
  // The connection is given up: later calls fail at once instead of waiting again.
  client_.disconnect();
}

ServerAnswer checkPackageServer(FtpSource& server) {
  if (server.open() == 0) return {ServerAtStartUp::Answered};
  switch (server.lastFailure()) {
    case FtpFailure::LoginRefused:
      return {ServerAtStartUp::RefusedLogin, server.lastError()};
    case FtpFailure::TurnedAway:
      return {ServerAtStartUp::TurnedAway, server.lastError()};
    default:
      return {ServerAtStartUp::DidNotAnswer, server.lastError()};
  }
}

}  // namespace provision
