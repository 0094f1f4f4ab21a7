#include "app/visibletext.h"

namespace mirel_varno {

wxString visibleText(const wxString& text)
{
    wxString out;
    out.reserve(text.length());
    for (const wxUniChar c : text) {
        const uint32_t u = c.GetValue();
        switch (u) {
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        case 0x2028:
        case 0x2029:
            out += wxString::Format("\\u%04X", static_cast<unsigned>(u));
            break;
        default:
            if (u < 0x20 || (u >= 0x7F && u <= 0x9F)) {
                out += wxString::Format("\\x%02X", static_cast<unsigned>(u));
            } else {
                out += c;
            }
            break;
        }
    }
    return out;
}

}  // namespace mirel_varno
