#ifndef VARNO_APP_INPUTFILES_H
#define VARNO_APP_INPUTFILES_H

#include <cstdint>
#include <vector>

#include <wx/string.h>

#include "base/unitaddress.h"

namespace mirel_varno {

// Poll command codes, as the commands file names them.
enum PollCommand : int32_t {
    CommandMeasure = 0,              // "measure"
    CommandMeasureAccuracyTime = 1,  // "measure_accuracy_time"
    CommandStatus = 2,               // "status"
    CommandVersion = 3               // "version"
};

// Reads a UTF-8 text file as lines without their line ends (LF, CR LF or
// CR). A line that is not valid UTF-8 reads as an empty line; the other
// lines are kept. False when the file cannot be opened or read; the reason
// is logged on standard error.
bool readTextLines(const wxString& fileName, std::vector<wxString>& lines);

// Appends one address per line of the form a.b.c (each number kept to its
// low 8 bits; anything after the third number ignored). Lines that do not
// give all three numbers are skipped. False when the file cannot be opened
// or read, with the reason logged on standard error as readTextLines does;
// nothing goes to standard output.
bool readAddressFile(const wxString& fileName, std::vector<UnitAddress>& addresses);

// Appends the code of every line that, trimmed and lower-cased, is one of
// the command keywords; other lines are skipped silently. When the file
// cannot be opened, prints "Can't open file <name>" and returns false.
bool readCommandFile(const wxString& fileName, std::vector<int32_t>& commands);

// Scans "%d.%d.%d" from a line; false unless all three numbers are there.
bool parseAddressLine(const wxString& line, UnitAddress& address);

}  // namespace mirel_varno

#endif
