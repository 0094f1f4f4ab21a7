#include "base/error.h"

#include <wx/intl.h>
#include <wx/translation.h>

namespace mirel_varno {

namespace {

// English text of a code; the only code-to-text table of Exception.
const char* errorText(int32_t code)
{
    if (code > 255) {
        switch (static_cast<uint32_t>(code - 0xF00)) {
        case 0: return "No answer";
        case 1: return "Not all data received";
        case 2: return "Write error";
        case 3: return "Serial port error";
        case 4: return "Unsupported data type";
        default: return "Unknown error";
        }
    }
    switch (code) {
    case 0: return "No error";
    case 1: return "Unsupported command";
    case 2: return "Unsupported data format";
    case 3: return "Package header structure corrupted";
    case 4: return "Unknown variable";
    case 5: return "Unit is busy and can not answer now";
    case 6: return "Unit is busy and will answer later";
    case 7: return "Package data corrupted";
    case 10: return "Wrong \"Redirect\" package";
    default: return "Unknown error";
    }
}

}  // namespace

Exception::Exception(const char* file, int32_t line, Error code)
    : file_(file != nullptr ? wxString(file, *wxConvCurrent) : wxString()),
      line_(line),
      message_(wxGetTranslation(wxString::FromAscii(errorText(code)))),
      code_(code)
{
}

}  // namespace mirel_varno
