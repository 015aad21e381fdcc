#include "package/archive_tree.h"

#include <algorithm>
#include <vector>

#include "log/text.h"

namespace provision {
namespace {

// The names of a path with "/" between them, without the empty and "." ones, which name nothing
// (both unzips read "A//./b" as "A/b").
std::vector<std::string> namesOf(const std::string& path) {
  std::vector<std::string> names;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string name = path.substr(start, end - start);
    if (!name.empty() && name != ".") names.push_back(std::move(name));
    start = end + 1;
  }
  return names;
}

std::string joined(const std::vector<std::string>& names) {
  std::string path;
  for (const std::string& name : names) path += (path.empty() ? "" : "/") + name;
  return path;
}

}  // namespace

std::string entryNameProblem(const std::string& name) {
  if (name.empty()) return "has no name";
  if (std::ranges::any_of(name, isControlCharacter)) return "has a control character in its name";
  if (name.find('\\') != std::string::npos) {
    return "has a backslash in its name, which one unit's unzip takes for a folder separator and "
           "another keeps in the file's name";
  }
  if (name.front() == '/') return "has an absolute name";
  const std::vector<std::string> names = namesOf(name);
  if (std::ranges::find(names, "..") != names.end()) {
    return "climbs out of the folder it is unpacked into (\"..\")";
  }
  return {};
}

void ArchiveTree::add(const std::string& name, EntryKind kind) {
  const std::string path = joined(namesOf(name));
  entries_.insert(path);
  if (kind == EntryKind::Link) links_.insert(path);
  if (kind == EntryKind::File) holdsFile_ = true;
}

std::string ArchiveTree::entryUnderLink() const {
  for (const std::string& entry : entries_) {
    for (std::size_t end = entry.find('/'); end != std::string::npos;
         end = entry.find('/', end + 1)) {
      const std::string folder = entry.substr(0, end);
      if (links_.contains(folder)) {
        return "its entry " + printable(entry) + " lies under the link " + printable(folder);
      }
    }
  }
  return {};
}

std::string ArchiveTree::linkProblem(const std::string& name, const std::string& target) const {
  if (target.empty()) return "is a link without a target";
  const std::string link = "is a link to " + printable(target);
  if (target.front() == '/') return link + ", outside the package";
  // Where the target leads from the link's folder, one name at a time.
  std::vector<std::string> path = namesOf(name);
  if (!path.empty()) path.pop_back();
  const std::vector<std::string> steps = namesOf(target);
  for (std::size_t step = 0; step < steps.size(); ++step) {
    if (steps[step] == "..") {
      if (path.empty()) return link + ", outside the package";
      path.pop_back();
      continue;
    }
    path.push_back(steps[step]);
    const std::string through = joined(path);
    if (step + 1 < steps.size() && links_.contains(through)) {
      return link + ", which leads through the link " + printable(through);
    }
  }
  return {};
}

}  // namespace provision
