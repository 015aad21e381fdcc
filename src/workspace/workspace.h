// The local folder tree beside the executable, and the few file operations the workflows need.
#pragma once

#include <string>
#include <vector>

namespace provision {

// Separator of local paths. Windows paths use a backslash, every other platform a slash.
#ifdef _WIN32
inline constexpr const char* kSep = "\\";
#else
inline constexpr const char* kSep = "/";
#endif

// The local folder `name` of the data tree beside the executable, e.g. dataFolder("lib"); with an
// empty name, the "data" folder itself.
std::string dataFolder(const std::string& name = "");

// Sets settings.baseFolder, creates the "data" tree and removes what interrupted downloads left in
// it.
void prepareWorkspace();

// Removes, anywhere below `folder`, the temporary files and folders of downloads that never
// completed (a run that was killed part-way leaves them behind).
void removePartialData(const std::string& folder);

// Sets settings.baseFolder to the executable's folder followed by kSep.
void exeDirectory();

// The executable's folder, without a separator at its end (the whole path when it has none).
std::string executableFolder();

// Creates one folder level when it is missing; failures are silent.
void createFolder(std::string path);

// Bare names of the plain files in `folder`, in the order the system lists them. A folder that
// cannot be listed gives an empty list and an ERROR line in the run log.
std::vector<std::string> listFiles(const std::string& folder);

// Removes the local file at `path` when it is there; failures are silent.
void removeLocalFile(const std::string& path);

// Removes every file and sub-folder inside `folder` but those named `keptNames`; the folder itself
// stays.
void clearFolder(std::string folder, const std::vector<std::string>& keptNames = {});

// Whether `folder` can be listed and holds nothing at all.
bool isEmptyFolder(const std::string& folder);

// `folder` without the separators at its end, as messages name it.
std::string withoutTrailingSeparator(std::string folder);

// Whether anything exists at `path`.
bool pathExists(const std::string& path);

}  // namespace provision
