// A file that reaches the device whole or not at all: it goes up to its folder under a temporary
// name of the program's own (workspace/partial_name.h) and takes its real name only with
// place(), so whatever had that name stays as it was until the new file has arrived. A staged
// file that is never placed is removed again when the object goes, as long as the link still
// answers; what a run that was cut off left, the next run removes with removeLeftovers().
#pragma once

#include <string>

namespace provision {

class SshLink;

class StagedUpload {
 public:
  // `target`: the device path the file is to have; its folder must exist.
  StagedUpload(SshLink& link, std::string target);
  ~StagedUpload();
  StagedUpload(const StagedUpload&) = delete;
  StagedUpload& operator=(const StagedUpload&) = delete;

  // Uploads the local file under the temporary name, as SshLink::uploadFile does (status and
  // progress text alike; messages name the target).
  int upload(const std::string& localPath, bool showProgress);
  // Renames the arrived file over the target. 0, or SshLink::renameFile's failure.
  int place();

  const std::string& target() const { return target_; }

 private:
  SshLink& link_;
  std::string target_;
  std::string temporary_;
  // Whether (part of) the file may be on the device under the temporary name.
  bool onDevice_ = false;
  bool uploaded_ = false;
  bool placed_ = false;
};

// Removes what uploads of runs that were cut off left in the device folder `folder` (ending in
// "/"): its temporary names, nothing else.
void removeLeftovers(SshLink& link, const std::string& folder);

}  // namespace provision
