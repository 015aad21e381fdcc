// Command-line arguments of a run.
#pragma once

#include <string>

namespace provision {

struct Settings;

// What the command line asks for: a run, or only the usage text, the version, the licences or the
// unit history.
enum class Request { Run, Help, Version, Licenses, History };

// Looks at the first argument only: "--help", "-h" and the platform's own help switch ask for the
// usage, "--version" for the version, "--licenses" for the third-party notices, "--history" for
// the unit history (of the unit the second argument names); anything else, or none, is a run.
Request requestOf(int argc, const char* const* argv);

// Converts decimal text to an int the way std::stoi does (leading white space, optional sign,
// digits up to the first other character) without throwing. Returns an empty string on success,
// otherwise the error text: "invalid stoi argument" or "stoi argument out of range".
std::string parseMode(const char* text, int& mode);

// Stores up to three positional arguments (mode, configuration variant, calibration sub-folder)
// in `target`; later ones are ignored. Returns an empty string, or the error text of a rejected
// argument: a first argument that is no number, or a variant that cannot name one local folder.
// The arguments before a rejected one are stored, the rest not.
std::string applyArguments(int argc, const char* const* argv, Settings& target);

}  // namespace provision
