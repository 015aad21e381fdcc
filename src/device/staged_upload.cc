#include "device/staged_upload.h"

#include <utility>

#include "device/ssh_link.h"
#include "workspace/partial_name.h"

namespace provision {

StagedUpload::StagedUpload(SshLink& link, std::string target)
    : link_(link),
      target_(std::move(target)),
      temporary_(target_.substr(0, target_.rfind('/') + 1) + makePartialName()) {}

StagedUpload::~StagedUpload() {
  // An upload that failed part-way leaves part of the file; one that arrived but was never placed
  // all of it. Neither may stay.
  if (onDevice_ && !placed_) link_.removeFile(temporary_);
}

int StagedUpload::upload(const std::string& localPath, bool showProgress) {
  const int status = link_.uploadFile(localPath, target_, showProgress, temporary_);
  uploaded_ = status == 0;
  onDevice_ = uploaded_ || status == kSshWriteFailed || status == kSshStalled;
  return status;
}

int StagedUpload::place() {
  if (!uploaded_) return kSshRemoteOpenFailed;
  const int status = link_.renameFile(temporary_, target_);
  placed_ = status == 0;
  return status;
}

void removeLeftovers(SshLink& link, const std::string& folder) {
  std::string ignored;
  link.runCommand("rm -f " + folder + partialNameGlob(), ignored);
}

}  // namespace provision
