#ifndef VARNO_APP_PRINTLINE_H
#define VARNO_APP_PRINTLINE_H

#include <wx/string.h>

namespace mirel_varno {

// Writes the text and a newline to standard output as UTF-8 and flushes,
// so that every line reaches a pipe as it happens. False when standard
// output is gone (a closed pipe, a full disk).
bool printLine(const wxString& text);

}  // namespace mirel_varno

#endif
