// Value formatting: measures with any value, units text, label and status
// word, parameter values and the events that show them. Every text must be
// built without crashing, and bounded.

#include <cstdint>
#include <cstring>

#include "fuzz/fakeline.h"
#include "model/measure.h"
#include "model/pointparam.h"
#include "monitor/pointevent.h"
#include "protocol/lsingle.h"

using namespace mirel_varno;
using varno_fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    varno_fuzz::Input in(data, size);
    float value;
    const std::vector<uint8_t> raw = in.bytes(sizeof value);
    if (raw.size() < sizeof value) {
        return 0;
    }
    std::memcpy(&value, raw.data(), sizeof value);
    const uint32_t time = in.byte() | in.byte() << 8 | in.byte() << 16 | static_cast<uint32_t>(in.byte()) << 24;
    const uint8_t accuracy = in.byte();
    const uint16_t status = static_cast<uint16_t>(in.byte() | in.byte() << 8);
    const int32_t index = static_cast<int8_t>(in.byte());
    const uint8_t textSize = in.byte() % 64;
    const std::vector<uint8_t> text = in.bytes(textSize);
    const wxString units = wxString::FromUTF8(reinterpret_cast<const char*>(text.data()), text.size());

    Measure measure(value, units, time, accuracy, index, status);
    measure.setLabel(units, index);
    const wxString shown = measure.valueText();
    check(shown.length() <= units.length() * 2 + 64);
    (void)measure.kindText();
    check(measure.prefix().length() <= 8);

    // The packed form of the value, and back.
    const LSingle packed = LSingle::fromFloat(value);
    (void)LSingle{packed.bits}.toFloat();

    // Parameters of each type show their value or refuse it.
    const PointParam params[] = {
        {1, 1, units, boost::any(static_cast<uint8_t>(accuracy))},
        {2, 25, units, boost::any(value)},
        {3, 13, units, boost::any(packed)},
    };
    for (PointParam p : params) {
        try {
            check(p.text().length() <= units.length() + 64);
        } catch (const Exception& e) {
            check(e.code() == UnsupportedDataFormat);
        }
        p.setValueFromText(units);
    }

    // Events carrying the measure compose their text from it.
    for (const PointEventType type : {InitialMeasureEvent, ThresholdExceededEvent, ValueReadEvent}) {
        const PointEvent event(type, UnitAddress{1, 2, 3}, boost::any(measure));
        check(event.valueText().length() <= shown.length() + 64);
    }
    return 0;
}
