// The start of a run once the device has answered: the package server's answer decides whether
// the run works online, and the data folder beside the executable is made ready.
#pragma once

namespace provision {

class FtpSource;

// Opens `server`, sets settings.baseFolder and prepares the data tree (prepareWorkspace()), and
// sets settings.serverOnline from the package server's answer. Returns the run's one connection to
// the package server, `server` itself, or null when it did not answer or refused the login, which
// one line on standard error says: then the run works from the data folder.
FtpSource* startWorkspace(FtpSource& server);

}  // namespace provision
