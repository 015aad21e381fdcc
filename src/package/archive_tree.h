// The tree that a package's entries make where a unit's unzip unpacks them: which entry names and
// which symbolic links stay inside the folder the package is unpacked into, and whether the
// package holds a file at all. Info-ZIP's unzip and BusyBox's take names apart differently (a
// backslash, a "..", a leading "/"); a package is installed only when both would make the same
// tree of it, inside that folder.
#pragma once

#include <set>
#include <string>

namespace provision {

enum class EntryKind { File, Folder, Link };

// What is wrong with an entry's name, as the rest of a sentence that starts with the entry ("has
// an absolute name"), or empty when nothing is. A name must not be empty, absolute, hold a ".."
// component, a backslash (a Windows tool's folder separator, which one unzip converts and the
// other keeps in the file's name) or a control character.
std::string entryNameProblem(const std::string& name);

class ArchiveTree {
 public:
  // Takes in an entry whose name passed entryNameProblem().
  void add(const std::string& name, EntryKind kind);

  // Whether any entry is a file: folders and links alone install nothing.
  bool holdsFile() const { return holdsFile_; }

  // The first entry that lies under a link of the archive (unpacking it would follow the link),
  // as "its entry A/l/x lies under the link A/l"; empty when there is none.
  std::string entryUnderLink() const;

  // What is wrong with the link `name` pointing to `target`, as the rest of a sentence that starts
  // with the entry; empty when nothing is. A target must be relative, stay inside the folder the
  // package is unpacked into, and not lead through another link of the archive.
  std::string linkProblem(const std::string& name, const std::string& target) const;

 private:
  std::set<std::string> links_;    // their names without empty or "." components
  std::set<std::string> entries_;  // the same for every entry
  bool holdsFile_ = false;
};

}  // namespace provision
