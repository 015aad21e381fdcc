// The link's single SFTP requests that a status reply answers: a file taking its name, a file
// going. Uploads write their own requests (sftp_upload.cc).
#include "device/request_channel.h"
#include "device/ssh_link.h"
#include "log/run_record.h"
#include "log/text.h"

namespace provision {

int SshLink::renameFile(const std::string& from, const std::string& to) {
  const std::string step = "the rename of " + fileNameOf(from) + " to " + fileNameOf(to);
  std::uint32_t reply = sftp::kStatusUnsupported;
  int status = kSshOk;
  if (!posixRenameRefused_) {
    const std::uint32_t id = sftpRequestId_++;
    status = requestStatus(step, sftp::posixRenameRequest(id, from, to), id, reply);
    if (status == kSshOk && reply == sftp::kStatusUnsupported) posixRenameRefused_ = true;
  }
  if (status == kSshOk && reply == sftp::kStatusUnsupported) {
    // The protocol's own rename refuses an existing target: the old file goes first.
    removeFile(to);
    const std::uint32_t id = sftpRequestId_++;
    status = requestStatus(step, sftp::renameRequest(id, from, to), id, reply);
  }
  if (status == kSshOk && reply != sftp::kStatusOk) status = kSshRenameFailed;
  recordRename(from, to, status);
  return status;
}

bool SshLink::removeFile(const std::string& path) {
  const std::uint32_t id = sftpRequestId_++;
  std::uint32_t reply = sftp::kStatusOk;
  const int status =
      requestStatus("the removal of " + fileNameOf(path), sftp::removeRequest(id, path), id, reply);
  return status == kSshOk && (reply == sftp::kStatusOk || reply == sftp::kStatusNoSuchFile);
}

int SshLink::requestStatus(const std::string& step, const std::string& request, std::uint32_t id,
                           std::uint32_t& status) {
  if (stalled_) return kSshStalled;
  if (!isOpen()) return kSshRemoteOpenFailed;
  RequestChannel channel(sftp_, sftpReplies_, sftpRequestId_);
  DeviceWait wait = waitFor(waits_.transfer);
  sftp::Reply reply;
  switch (channel.exchange(request, id, wait, reply)) {
    case Exchange::Done:
      if (reply.type != sftp::kStatus) return kSshRemoteOpenFailed;
      status = reply.status;
      return kSshOk;
    case Exchange::Stalled:
      return stalled(step, waits_.transfer);
    case Exchange::Broken:
      break;
  }
  return kSshRemoteOpenFailed;
}

}  // namespace provision
