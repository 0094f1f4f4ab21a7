#ifndef MIREL_VARNO_BASE_ERROR_H
#define MIREL_VARNO_BASE_ERROR_H

#include <cstdint>

#include <wx/string.h>

namespace mirel_varno {

// The one error enumeration of the system. Codes 0 to 255 are what a unit
// reports in an error reply (and what the host uses for its own reply
// checks); codes from 0xF00 up are raised by the host side only.
enum Error : int32_t {
    NoError = 0,
    UnsupportedCommand = 1,
    UnsupportedDataFormat = 2,
    HeaderCorrupted = 3,
    UnknownVariable = 4,
    BusyCannotAnswer = 5,
    BusyWillAnswerLater = 6,
    DataCorrupted = 7,
    WrongRedirect = 10,
    UnknownError = 255,
    NoAnswer = 0xF00,
    NotAllDataReceived = 0xF01,
    WriteError = 0xF02,
    SerialPortError = 0xF03,
    UnsupportedDataType = 0xF04
};

// The one exception type. Thrown by value, caught by reference. The message
// is fixed at construction from the code, through the current locale's
// message catalogue.
class Exception {
public:
    Exception(const char* file, int32_t line, Error code);

    wxString message() const { return message_; }
    Error code() const { return code_; }
    int32_t line() const { return line_; }
    wxString file() const { return file_; }

private:
    wxString file_;
    int32_t line_;
    wxString message_;
    Error code_;
};

// The protocol's own text for a link or unit error code, beside the table
// of Exception: empty for 0, "Unknown error" for a code without a row
// (SerialPortError and UnsupportedDataType have none). Texts are translated
// once, on first use.
wxString unitErrorText(int32_t code);

namespace detail {
// The part of a path after its last '/': the raising file's own name.
constexpr const char* sourceName(const char* path)
{
    const char* name = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '/') {
            name = p + 1;
        }
    }
    return name;
}
}  // namespace detail

}  // namespace mirel_varno

// Raises Exception with the raising source file's name and line.
#define VARNO_RAISE(code) \
    throw ::mirel_varno::Exception(::mirel_varno::detail::sourceName(__FILE__), __LINE__, \
                                   static_cast<::mirel_varno::Error>(code))

#endif
