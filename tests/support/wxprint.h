#ifndef VARNO_TESTS_WXPRINT_H
#define VARNO_TESTS_WXPRINT_H

#include <ostream>

#include <wx/string.h>

// Lets GoogleTest show a wxString as text rather than as code units.
inline void PrintTo(const wxString& text, std::ostream* out)
{
    *out << '"' << text.utf8_str().data() << '"';
}

#endif
