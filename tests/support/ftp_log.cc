#include "support/ftp_log.h"

#include <sstream>

namespace provision::test {

int countCommands(const std::string& log, const std::string& command) {
  int count = 0;
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);) {
    std::string sent;
    if (size_t arrow = line.find("] <- "); arrow != std::string::npos) {
      sent = line.substr(arrow + 5);
    } else if (size_t vsftpd = line.find("FTP command: Client \""); vsftpd != std::string::npos) {
      size_t quote = line.find("\", \"", vsftpd);
      if (quote != std::string::npos) sent = line.substr(quote + 4);
    }
    if (!sent.empty() && sent.starts_with(command)) ++count;
  }
  return count;
}

}  // namespace provision::test
