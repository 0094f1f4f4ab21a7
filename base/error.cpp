#include "base/error.h"

#include <wx/intl.h>
#include <wx/translation.h>

namespace mirel_varno {

namespace {

// English text of a code; the only code-to-text table of Exception.
const char* errorText(Error code)
{
    switch (code) {
    case NoError: return "No error";
    case UnsupportedCommand: return "Unsupported command";
    case UnsupportedDataFormat: return "Unsupported data format";
    case HeaderCorrupted: return "Package header structure corrupted";
    case UnknownVariable: return "Unknown variable";
    case BusyCannotAnswer: return "Unit is busy and can not answer now";
    case BusyWillAnswerLater: return "Unit is busy and will answer later";
    case DataCorrupted: return "Package data corrupted";
    case WrongRedirect: return "Wrong \"Redirect\" package";
    case NoAnswer: return "No answer";
    case NotAllDataReceived: return "Not all data received";
    case WriteError: return "Write error";
    case SerialPortError: return "Serial port error";
    case UnsupportedDataType: return "Unsupported data type";
    default: return "Unknown error";  // UnknownError and codes without a row
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
