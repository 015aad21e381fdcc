#include "app/history_view.h"

#include <fstream>
#include <iostream>
#include <iterator>

#include "install/run_status.h"
#include "log/csv.h"
#include "log/history_table.h"
#include "log/text.h"
#include "log/unit_history.h"
#include "workspace/filesystem.h"
#include "workspace/workspace.h"

namespace provision {

int showHistory(const std::string& folder, const std::string& uid) {
  const std::string path = folder + kSep + kHistoryFileName;
  if (!pathExists(path)) {
    std::cout << "No run is in the unit history yet (" << path << ")" << std::endl;
    return kRunSucceeded;
  }
  std::ifstream in(toFsPath(path), std::ios::binary);
  if (!in || entryType(path) != EntryType::File) {
    std::cerr << "Cannot read the unit history " << path << std::endl;
    return kRunFileNotRead;
  }
  const std::string text(std::istreambuf_iterator<char>(in), {});
  const std::string table = historyTable(parseCsv(text), uid);
  if (!table.empty()) {
    std::cout << table << std::flush;
  } else if (uid.empty()) {
    std::cout << "No run is in the unit history " << path << std::endl;
  } else {
    std::cout << "No run of the unit " << printable(uid) << " is in the unit history " << path
              << std::endl;
  }
  return kRunSucceeded;
}

}  // namespace provision
