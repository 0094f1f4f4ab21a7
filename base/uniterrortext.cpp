// The protocol's code-to-text lookup, kept beside Exception's table so that
// every layer reaches it without the port class.

#include "base/error.h"

#include <map>
#include <utility>

#include <wx/intl.h>
#include <wx/translation.h>

namespace mirel_varno {

wxString unitErrorText(int32_t code)
{
    if (code == 0) {
        return wxString();
    }
    // Built once, on first use, in the locale active then; a function-local
    // static is initialised exactly once even with several threads.
    static const std::map<int32_t, wxString> table = [] {
        const std::pair<int32_t, const char*> rows[] = {
            {UnsupportedCommand, "Unsupported command"},
            {UnsupportedDataFormat, "Unsupported data format"},
            {HeaderCorrupted, "Package header structure corrupted"},
            {UnknownVariable, "Unknown variable"},
            {BusyCannotAnswer, "Unit is busy and can not answer now"},
            {BusyWillAnswerLater, "Unit is busy and will answer later"},
            {DataCorrupted, "Package data corrupted"},
            {WrongRedirect, "Wrong \"Redirect\" package"},
            {UnknownError, "Unknown error"},
            {NoAnswer, "No answer"},
            {NotAllDataReceived, "Not all data received"},
            {WriteError, "Write error"},
        };
        std::map<int32_t, wxString> texts;
        for (const auto& row : rows) {
            texts.emplace(row.first, wxGetTranslation(wxString::FromUTF8(row.second)));
        }
        return texts;
    }();
    const auto found = table.find(code);
    // The fallback is the translated text as it stands: a catalogue entry is
    // never used as a format.
    return found != table.end() ? found->second : table.at(UnknownError);
}

}  // namespace mirel_varno
