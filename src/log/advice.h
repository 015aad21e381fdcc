// What a technician reads when something fails: one line on standard error (so in the run record
// too) that says what went wrong and what to check, beside the lines the program writes anyway.
// Every such text is made here, so that they read alike and a translation finds them in one place.
#pragma once

#include <string>

namespace provision::advice {

// The device probe: nothing answered at `address` (no connection, a refusal, a stall).
std::string deviceUnreachable(const std::string& address);
// The device answered and refused both root passwords.
std::string devicePasswordsRefused(const std::string& address);
// The device answered, but its SSH service failed before the login (status of the link).
std::string deviceSshFailed(const std::string& address, int status);

// The lines that follow a package-server error line ("InternetConnect failed. Error: 7") name its
// code, `code`, beside what it meant.

// The package server at start-up: it did not answer, or refused the login; either way the run
// works from the copies in `dataFolder`.
std::string serverOffline(const std::string& address, const std::string& dataFolder,
                          unsigned long code);
std::string serverLoginRefused(const std::string& address, const std::string& user,
                               const std::string& dataFolder, unsigned long code);
// The package server's connection back to this PC for a transfer did not come (active FTP).
std::string serverCannotConnectBack(const std::string& address, unsigned long code);

// A transfer from the package server that began and broke off before the whole file had arrived.
std::string transferCut(const std::string& address, unsigned long code);
// A file the run needs, `remotePath`, is not on the package server.
std::string missingOnServer(const std::string& remotePath, const std::string& address,
                            unsigned long code);
// The package server answered at start-up and stopped answering, or was lost, later in the run.
std::string serverStoppedAnswering(const std::string& address, unsigned long code);
// A package server that turned a connection away with 421 (too many from one address, or closing).
std::string serverTurnedAway(const std::string& address, unsigned long code);

// A download's local folder whose disk is full, or that cannot be written to.
std::string diskFull(const std::string& folder, unsigned long code);
std::string folderNotWritable(const std::string& folder, unsigned long code);

// A package that is not in its local folder while the package server is offline.
std::string packageNotLocal(const std::string& packageName, const std::string& folder);

// A package whose archive is damaged: the package server's copy (it was just fetched), or the
// local copy in `folder` while the package server does not answer.
std::string packageDamagedOnServer(const std::string& packageName, const std::string& address);
std::string packageDamagedLocally(const std::string& packageName, const std::string& folder);
// A package that is not the one its digest file beside it on the package server names.
std::string packageDigestMismatch(const std::string& packageName, const std::string& address);
// A digest file on the package server that gives no SHA-256 of its package.
std::string digestFileUnusable(const std::string& digestPath, const std::string& address);

// The unit did not accept a connection after the configuration tool's install (it restarts).
std::string unitNotBack(const std::string& address);
// The unit's report names no UID or model code, so its calibration cannot be found.
std::string unitReportIncomplete();
// No calibration set for this unit in `folder` while the package server does not answer.
std::string calibrationNeedsServer(const std::string& folder);
// The unit's calibration log `log` on the package server names no folder of the unit's own.
std::string calibrationLogUnusable(const std::string& log);
// The unit's folder `unitFolder` on the package server holds no file to install on the unit.
std::string calibrationNotOnServer(const std::string& unitFolder);
// The unit's calibration folder on the package server holds what no unit gets whole (a
// sub-folder, names that cannot be files everywhere, names that differ in case only).
std::string calibrationSetIncomplete(const std::string& calibrationFolder);
// The calibration sub-folder the run was given is not in `configFolder` on the package server.
std::string calibrationSubfolderMissing(const std::string& subfolder,
                                        const std::string& configFolder);
// The package server refused to enter `folder`, which it holds.
std::string folderNotEntered(const std::string& folder, const std::string& address);

// Writes `line` to standard error.
void explain(const std::string& line);
// The same, but only the first time in this run that this very line is explained.
void explainOnce(const std::string& line);

}  // namespace provision::advice
