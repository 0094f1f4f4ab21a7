#include "monitor/pointevent.h"

#include <ctime>

#include <wx/translation.h>

#include "model/algorithm.h"
#include "model/measure.h"

namespace mirel_varno {

namespace {

wxString translated(const char* text)
{
    return wxGetTranslation(wxString::FromAscii(text));
}

bool carriesMeasureValue(PointEventType type)
{
    return (type >= InitialMeasureEvent && type <= LastMeasureEvent) ||
           (type >= ThresholdExceededEvent && type <= ThresholdReducedEvent);
}

}  // namespace

PointEvent::PointEvent(PointEventType type, const UnitAddress& address, boost::any payload)
    // The current second, as Now() gives it, without the detour through
    // local time and back that re-reads the zone file at every event.
    : address_(address), type_(type), time_(wxDateTime(std::time(nullptr))), payload_(std::move(payload))
{
    text_ = buildText();
}

PointEvent::~PointEvent() = default;

PointEvent PointEvent::placeholder()
{
    return PointEvent(UnknownEvent, UnitAddress{1, 1, 1}, boost::any(uint32_t{0}));
}

wxString PointEvent::buildText() const
{
    switch (type_) {
    case PluggedEvent:
        return translated("Point plugged");
    case UnpluggedEvent:
        return translated("Point unplugged");
    case MeasuresRestartedEvent:
        return translated("Measures restarted");
    case ParamsReadEvent:
        return translated("Params have been read");
    case AlgorithmsReadEvent:
        return translated("Algorithms have been read");
    case InitialMeasureEvent:
    case MeasureEvent:
    case ValueReadEvent:
        return boost::any_cast<const Measure&>(payload_).valueText();
    case StatusReadEvent:
        return translated("Status read");
    case AddressChangedEvent:
        return translated("Address changed");
    case DatesChangedEvent:
        return translated("Dates changed");
    case ThresholdExceededEvent:
    case PrethresholdExceededEvent:
    case ThresholdReducedEvent: {
        const Measure& measure = boost::any_cast<const Measure&>(payload_);
        return measure.valueText() + wxT(" ") + measure.kindText();
    }
    case ParamsSetEvent:
        return translated("Parameters have been set");
    case AlgorithmChangedEvent:
        return wxString::Format(wxT("%s (%d)"), translated("Current algorithm changed"),
                                static_cast<int>(boost::any_cast<MeasuringAlgorithm>(payload_)));
    case SerialPortErrorEvent:
        return translated("Serial port error");
    case NoAnswerEvent:
        return translated("No answer");
    case ReadErrorEvent:
        return translated("Read error");
    case WriteErrorEvent:
        return translated("Write error");
    case UnknownVariableEvent:
        return translated("Unknown variable");
    case ParamsChangedEvent:
        return translated("Params have been changed");
    default:  // 7 to 22 (their measure is read by the point only), 38 and the rest
        return translated("Unknown event");
    }
}

wxString PointEvent::valueText() const
{
    if (carriesMeasureValue(type_)) {
        const Measure& measure = boost::any_cast<const Measure&>(payload_);
        return wxString::Format(wxT("%.3g"), static_cast<double>(measure.value()));
    }
    if (type_ == ValueReadEvent) {
        return boost::any_cast<const Measure&>(payload_).valueText();
    }
    return wxString();
}

void PointEvent::setTime(const wxDateTime& t)
{
    // All components at once: set one by one, a day such as the 31st could
    // meet a month that has no such day on the way and corrupt the date.
    const wxDateTime::Tm tm = t.GetTm();
    time_.Set(tm.mday, tm.mon, tm.year, tm.hour, tm.min, tm.sec, tm.msec);
}

bool PointEvent::isLinkError() const
{
    return type_ == NoAnswerEvent || type_ == ReadErrorEvent || type_ == WriteErrorEvent;
}

bool PointEvent::isThresholdExceeded() const { return type_ == ThresholdExceededEvent; }
bool PointEvent::isPrethresholdExceeded() const { return type_ == PrethresholdExceededEvent; }
bool PointEvent::isThresholdReduced() const { return type_ == ThresholdReducedEvent; }
bool PointEvent::isValueRead() const { return type_ == ValueReadEvent; }
bool PointEvent::isParamsChanged() const { return type_ == ParamsChangedEvent; }

}  // namespace mirel_varno
