#ifndef VARNO_APP_INPUTFILES_H
#define VARNO_APP_INPUTFILES_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
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

// An input file larger than this is refused whole: a list of units or
// commands is a few kilobytes, and a device such as /dev/zero never ends.
constexpr size_t InputFileLimit = 1024 * 1024;

// A FIFO must deliver its whole content within this time after it is
// opened; one that nobody writes is refused instead of waited on for ever.
constexpr int FifoDeliveryMs = 2000;

// A non-empty line that gave no entry, and why.
struct SkippedLine {
    size_t number = 0;   // from 1
    std::string bytes;   // the line as it was in the file, without its end
    std::string reason;
};

// What reading one input file found besides its entries.
struct InputFileReport {
    // Why the file could not be read (empty when it was): it does not
    // exist, is not a regular file or a FIFO with data, is larger than
    // InputFileLimit, or a read failed.
    std::string failure;
    // Skipped lines, up to MaxKept of them; `skippedCount` counts them all.
    std::vector<SkippedLine> skipped;
    size_t skippedCount = 0;
    static constexpr size_t MaxKept = 20;

    void skip(size_t number, const std::string& bytes, const std::string& reason);
};

// Reads a file named by the bytes of `path` line by line, handing each
// line without its end (LF, CR LF or CR) and its number to `onLine` as it
// is read. A UTF-8 byte-order mark at the start is dropped. Regular files
// and FIFOs only, up to InputFileLimit bytes; false with the reason in
// `failure` otherwise (lines handed on before the failure are to be
// discarded by the caller).
bool readFileLines(const std::string& path,
                   const std::function<void(size_t number, const std::string& line)>& onLine,
                   std::string& failure);

// Appends one address per line of the form a.b.c with each number in
// 0..255 (anything after the third number is ignored). Empty lines and
// lines beginning with '#' are skipped silently; other lines that give no
// address are skipped and listed in the report. False when the file
// cannot be read, with the reason in the report.
bool readAddressFile(const std::string& path, std::vector<UnitAddress>& addresses,
                     InputFileReport& report);

// Appends the code of every line that, trimmed and lower-cased, is one of
// the command keywords. Empty lines and lines beginning with '#' are
// skipped silently; other lines are skipped and listed in the report.
// False when the file cannot be read, with the reason in the report.
bool readCommandFile(const std::string& path, std::vector<int32_t>& commands,
                     InputFileReport& report);

// Scans "%d.%d.%d" from a line. Empty when it gave an address, otherwise
// why not.
std::string parseAddressLine(const wxString& line, UnitAddress& address);

// A line of bytes made printable for a message: control characters and
// bytes that are not UTF-8 as \xNN, quotes and backslashes escaped.
std::string quotedBytes(const std::string& bytes);

}  // namespace mirel_varno

#endif
