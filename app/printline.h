#ifndef VARNO_APP_PRINTLINE_H
#define VARNO_APP_PRINTLINE_H

#include <string>

#include <wx/string.h>

namespace mirel_varno {

// Writes the text and a newline to standard output as UTF-8 and flushes,
// so that every line reaches a pipe as it happens. False when standard
// output is gone (a closed pipe, a full disk); outputError() says why.
bool printLine(const wxString& text);

// The same for a line of bytes written as they are (a file name given in
// another encoding is shown as it was typed).
bool printBytesLine(const std::string& bytes);

// The system's error number of the last write that failed.
int outputError();

// The tool's own messages (start-up lines, the banner) go to standard
// output, unless standard output carries records for programs: then they
// go to standard error, so that every line on standard output parses.
void setMessagesToStandardError(bool toStandardError);
bool printMessage(const wxString& text);
bool printMessageBytes(const std::string& bytes);

// "varno_cycle: " and the text, on standard error.
void printError(const std::string& text);

}  // namespace mirel_varno

#endif
