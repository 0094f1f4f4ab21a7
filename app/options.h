#ifndef VARNO_APP_OPTIONS_H
#define VARNO_APP_OPTIONS_H

#include <cstdint>
#include <string>
#include <vector>

#include <wx/string.h>

namespace mirel_varno {

// How report lines are written.
enum class ReportFormat { Text, Json, Csv };

// What the command line gives the poll tool.
struct CycleSettings {
    wxString commandsFile;   // -c, as text for messages
    wxString addressesFile;  // -a, as text for messages
    int32_t port = -1;       // -p; -1 means not given
    int32_t pause = 0;       // -t, milliseconds; 0 means not given

    // The file names as the bytes that were given: Linux names are bytes.
    std::string commandsPath;
    std::string addressesPath;
    // -p given as a device path or a network line (a value holding '/',
    // such as tcp://HOST:PORT); empty for COM<port>.
    std::string device;

    ReportFormat format = ReportFormat::Text;  // --format=text|json|csv
    bool isoTimestamps = false;                // --timestamps=iso
    uint32_t count = 0;                        // --count N passes; 0: until stopped
    bool quiet = false;                        // --quiet: no banner
    bool strict = false;                       // --strict: a skipped input line stops the start
    bool help = false;                         // --help, -h
    bool version = false;                      // --version

    // What was wrong with the command line, one sentence each, for
    // standard error. Not every problem stops the run.
    std::vector<std::string> problems;
};

// What nextOption hands back besides its code: the value text, a pointer
// into the argument strings, or null.
struct OptionResult {
    const char* value = nullptr;
};

// Codes of nextOption besides the option letters.
constexpr int8_t OptionsEnd = 0;
constexpr int8_t OptionPlainArgument = 1;
constexpr int8_t OptionUnknown = -1;

// Scans the argument at the process-wide argument index (initially 1) for
// an option of `optionString` ("p:t:c:a:": a letter followed by ':' takes
// a value) introduced by '-' or '/'. Returns OptionsEnd, OptionPlainArgument,
// OptionUnknown or the option letter, and advances the index.
//
// A value not attached to its letter is the next argument unless that one
// can be an option: one that begins with '-', or with '/' and an option
// letter, holds no second '/' and names no existing file. So "-c
// /etc/varno/cmds.txt" and "-p /dev/ttyUSB0" take their paths while
// "/p /t500" leaves -p without a value.
int8_t nextOption(int argc, const char* const* argv, const char* optionString,
                  OptionResult& result);

// Sets the process-wide argument index back to 1. The tool scans its
// command line once; tests scan many.
void resetOptionIndex();

// Fills the settings from the command line. False when an option the
// scanner does not know how to end on (in practice "-:") is met. Besides
// the letter options it knows --help (also -h), --version, --quiet, --strict,
// --format=FORMAT, --timestamps=iso and --count N, each anywhere before
// parsing stops; a value of a long option may also follow in the next
// argument.
bool parseCommandLine(int argc, const char* const* argv, CycleSettings& settings);

// The text of a command-line argument: UTF-8 where it is valid, otherwise
// each byte as the character of the same value.
wxString argumentText(const char* argument);

// The --help text: one line per option.
std::string helpText();

}  // namespace mirel_varno

#endif
