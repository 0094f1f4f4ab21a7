#ifndef VARNO_APP_REPORT_H
#define VARNO_APP_REPORT_H

#include <cstdint>
#include <ctime>
#include <string>

#include <wx/string.h>

#include "app/options.h"
#include "base/unitaddress.h"

namespace mirel_varno {

// One exchange as the report shows it: what was asked, when, and what
// came back, decoded, or how it failed.
struct ExchangeRecord {
    timespec time{};  // wall-clock time taken before the exchange
    UnitAddress address{};
    int32_t command = 0;
    bool ok = false;
    uint16_t status = 0;    // status
    float value = 0.0f;     // measure, measure_accuracy_time
    uint32_t seconds = 0;
    uint8_t accuracy = 0;
    wxString version;       // version
    int32_t errorCode = 0;  // when not ok: the Error code ...
    wxString text;          // ... and its message; when ok the text line's result
};

// The keyword of a poll command code.
const char* commandName(int32_t command);

// "2026-12-07T14:05:09.123+01:00": local time with milliseconds and the
// offset from UTC.
std::string isoTime(const timespec& time);

// The JSON object or the CSV row of an exchange, without a line end.
std::string recordLine(const ExchangeRecord& record, ReportFormat format);

// The first line of CSV output.
std::string csvHeader();

}  // namespace mirel_varno

#endif
