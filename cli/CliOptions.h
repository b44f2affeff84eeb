#pragma once
// The command line of lumaro-cli: what the user asked for, and the settings
// record the batch run takes from it.
#include <optional>
#include <string>
#include <vector>

#include "Settings.h"

namespace lumaro {

struct TCliOptions {
    bool Help = false;
    bool Version = false;
    bool ToStdout = false;  // the one-file form: the result goes to standard output

    bool Optimize = true;
    bool StripExif = false;
    bool KeepCreated = false;
    bool KeepModified = false;
    bool Recurse = false;
    bool KeepGoing = false;
    bool Json = false;
    bool Quiet = false;
    std::uint8_t Mode = sfmSourceFolder;
    std::string OutputFolder;  // -o DIR, as typed
    unsigned Jobs = 0;         // 0 = one per core
    std::vector<std::string> Paths;
};

// Parses the arguments after the program name. Returns a Japanese message on
// bad usage (the caller prints it with the usage text and exits 2).
std::optional<std::string> ParseArguments(const std::vector<std::string>& Args, TCliOptions& Options);

// The settings of a batch run for these options. The command line never asks
// for a Save As path, so gUseSaveAs is off. OutputFolder must already be
// absolute when the mode is the fixed folder.
TSettings SettingsFor(const TCliOptions& Options, const std::string& AbsoluteOutputFolder);

// The --help text.
const char* UsageText();

} // namespace lumaro
