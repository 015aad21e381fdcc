// Command-line arguments of a run.
#pragma once

#include <string>

namespace provision {

struct Settings;

// What the command line asks for: a run, or only the usage text or the version.
enum class Request { Run, Help, Version };

// Looks at the first argument only: "--help", "-h" and the platform's own help switch ask for the
// usage, "--version" for the version; anything else, or none, is a run.
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
