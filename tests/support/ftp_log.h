// Reading the package server's log whichever server the lab runs.
#pragma once

#include <string>

namespace provision::test {

// How many commands in the package server's log `log` begin with `command` ("RETR", "USER
// velqorn", "EPRT |1|"): pyftpdlib's lines "... [user] <- RETR x", vsftpd's lines
// `... FTP command: Client "192.168.10.1", "RETR x"`.
int countCommands(const std::string& log, const std::string& command);

}  // namespace provision::test
