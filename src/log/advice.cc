#include "log/advice.h"

#include <iostream>
#include <set>

#include "log/text.h"

namespace provision::advice {

std::string deviceUnreachable(const std::string& address) {
  return "No device answers at " + address +
         ": check that the device is switched on and connected to this PC's network";
}

std::string devicePasswordsRefused(const std::string& address) {
  return "The device at " + address +
         " answered but refused both root passwords: check that it is a QM or ZR unit and that "
         "its root password was not changed";
}

std::string deviceSshFailed(const std::string& address, int status) {
  return "The device at " + address + " answered, but its SSH service failed (status " +
         std::to_string(status) + "): restart the device and try again";
}

namespace {

std::string errorCode(unsigned long code) { return " (error " + std::to_string(code) + ")"; }

}  // namespace

std::string serverOffline(const std::string& address, const std::string& dataFolder,
                          unsigned long code) {
  return "The package server at " + address + " does not answer" + errorCode(code) +
         ": this run works from the copies in " + dataFolder;
}

std::string serverLoginRefused(const std::string& address, const std::string& user,
                               const std::string& dataFolder, unsigned long code) {
  return "The package server at " + address + " refused the login of " + user + errorCode(code) +
         ": this run works from the copies in " + dataFolder +
         "; check the account on the package server";
}

std::string serverCannotConnectBack(const std::string& address, unsigned long code) {
  return "The package server at " + address + " could not connect back to this PC for a transfer" +
         errorCode(code) +
         ": the PC's firewall must let provision accept connections on the package server's "
         "network (active FTP)";
}

std::string transferCut(const std::string& address, unsigned long code) {
  return "A transfer from the package server at " + address + " broke off" + errorCode(code) +
         ": start the run again; if it breaks off again, check the network between this PC and "
         "the package server";
}

std::string missingOnServer(const std::string& remotePath, const std::string& address,
                            unsigned long code) {
  return remotePath + " is not on the package server at " + address + errorCode(code) +
         ": have it put there, then start the run again";
}

std::string serverStoppedAnswering(const std::string& address, unsigned long code) {
  return "The package server at " + address + " answered at the start but not later in the run" +
         errorCode(code) + ": check that it is running and connected, then start the run again";
}

std::string serverTurnedAway(const std::string& address, unsigned long code) {
  return "The package server at " + address + " turned this PC's connection away with 421" +
         errorCode(code) +
         ": it takes only so many connections from one address at a time, or it is shutting "
         "down; close the other FTP programs on this PC that use it, or wait a minute for its "
         "earlier sessions to end, then start the run again";
}

std::string diskFull(const std::string& folder, unsigned long code) {
  return "The disk of " + folder + " is full" + errorCode(code) +
         ": free some space on it and start the run again";
}

std::string folderNotWritable(const std::string& folder, unsigned long code) {
  return folder + " cannot be written to" + errorCode(code) +
         ": check that this user may write to the folder and that the disk is not read-only";
}

std::string packageNotLocal(const std::string& packageName, const std::string& folder) {
  return packageName + " is not in " + folder +
         " and the package server did not answer: run once while the package server answers";
}

std::string packageDamagedOnServer(const std::string& packageName, const std::string& address) {
  return packageName + " on the package server at " + address +
         " is damaged: have a sound copy put there under its name, then start the run again";
}

std::string packageDamagedLocally(const std::string& packageName, const std::string& folder) {
  return packageName + " in " + folder +
         " is damaged and the package server did not answer: run once while the package server "
         "answers, so that it is fetched again";
}

std::string packageDigestMismatch(const std::string& packageName, const std::string& address) {
  return packageName + " on the package server at " + address + " is not the one " + packageName +
         ".sha256 beside it names: have both put there again from the same build, then start "
         "the run again";
}

std::string digestFileUnusable(const std::string& digestPath, const std::string& address) {
  return digestPath + " on the package server at " + address +
         " must hold the package's SHA-256 as sha256sum writes it (the digest, two blanks, the "
         "package's name): have it written again, then start the run again";
}

std::string unitNotBack(const std::string& address) {
  return "The unit at " + address +
         " did not answer after the configuration tool's install: check that it has finished "
         "restarting and is connected, then start the run again";
}

std::string unitReportIncomplete() {
  return "The unit's report /opt/sys.log lacks its UID or model: run mode 1 to write the report "
         "again, then start this run again";
}

std::string calibrationNeedsServer(const std::string& folder) {
  return "No calibration files for this unit are in " + folder +
         " and the package server did not answer: run once while the package server answers";
}

std::string calibrationLogUnusable(const std::string& log) {
  return "The first line of the unit's calibration log " + log +
         " must name one of the unit's own calibration folders on the package server: have the "
         "log corrected there, then start this run again";
}

std::string calibrationNotOnServer(const std::string& unitFolder) {
  return "The unit's calibration files are not on the package server: have them put into the "
         "calibration folder that " +
         unitFolder + "Cal_LatestFileLog.txt names, then start this run again";
}

std::string calibrationSetIncomplete(const std::string& calibrationFolder) {
  return "Have " + calibrationFolder +
         " on the package server hold the unit's calibration files themselves, each under a name "
         "that Linux and Windows both take (no \\ / : * ? \" < > |, not differing from another "
         "in case only) and none in a sub-folder, then start this run again";
}

std::string calibrationSubfolderMissing(const std::string& subfolder,
                                        const std::string& configFolder) {
  return "Start the run again with one of the sub-folders of " + configFolder +
         " (the name as the package server writes it, in the same case), or without one; \"" +
         printable(subfolder) + "\" is not there";
}

std::string folderNotEntered(const std::string& folder, const std::string& address) {
  return "The package server at " + address + " refuses to enter " + folder +
         ": check that its account may read the folder there, then start the run again";
}

void explain(const std::string& line) { std::cerr << line << std::endl; }

void explainOnce(const std::string& line) {
  static std::set<std::string> explained;
  if (explained.insert(line).second) explain(line);
}

}  // namespace provision::advice
