#ifndef VARNO_APP_OPTIONS_H
#define VARNO_APP_OPTIONS_H

#include <cstdint>
#include <string>

#include <wx/string.h>

namespace mirel_varno {

// What the command line gives the poll tool.
struct CycleSettings {
    wxString commandsFile;   // -c
    wxString addressesFile;  // -a
    int32_t port = -1;       // -p; -1 means not given
    std::string device;      // -p with a network line name (holds "://")
    int32_t pause = 0;       // -t, milliseconds; 0 means not given
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
int8_t nextOption(int argc, const char* const* argv, const char* optionString,
                  OptionResult& result);

// Sets the process-wide argument index back to 1. The tool scans its
// command line once; tests scan many.
void resetOptionIndex();

// Fills the settings from the command line. False when an option the
// scanner does not know how to end on (in practice "-:") is met.
bool parseCommandLine(int argc, const char* const* argv, CycleSettings& settings);

// The text of a command-line argument: UTF-8 where it is valid, otherwise
// each byte as the character of the same value.
wxString argumentText(const char* argument);

}  // namespace mirel_varno

#endif
