#ifndef VARNO_APP_VISIBLETEXT_H
#define VARNO_APP_VISIBLETEXT_H

#include <wx/string.h>

namespace mirel_varno {

// A unit's text as it may stand inside one report line: every character
// that could break or garble the line is written out visibly. Line feed,
// carriage return and tab become \n, \r and \t; the other control
// characters below U+0020, DEL and U+0080 to U+009F become \xNN (two hex
// digits); U+2028 and U+2029 become \u2028 and \u2029. Everything else, a backslash
// included, is left as it is: a text without control characters prints
// exactly as the unit gave it (the JSON form is the unambiguous one).
wxString visibleText(const wxString& text);

}  // namespace mirel_varno

#endif
