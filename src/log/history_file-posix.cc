#include <unistd.h>

#include <climits>

#include "log/history_file.h"

namespace provision {

std::string stationName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

}  // namespace provision
