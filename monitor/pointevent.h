#ifndef MIREL_VARNO_MONITOR_POINTEVENT_H
#define MIREL_VARNO_MONITOR_POINTEVENT_H

#include <cstdint>

#include <boost/any.hpp>
#include <wx/datetime.h>
#include <wx/string.h>

#include "base/unitaddress.h"

namespace mirel_varno {

// What happened to a point. Codes 0 to 38 are defined; any other value is
// accepted and treated as an unknown event.
using PointEventType = int32_t;

// The defined codes, with the payload each carries.
constexpr PointEventType PluggedEvent = 0;
constexpr PointEventType UnpluggedEvent = 1;
constexpr PointEventType MeasuresRestartedEvent = 2;
constexpr PointEventType ParamsReadEvent = 3;            // PointParams
constexpr PointEventType AlgorithmsReadEvent = 4;        // AlgorithmList
constexpr PointEventType InitialMeasureEvent = 5;        // Measure
constexpr PointEventType MeasureEvent = 6;               // Measure; 6 to 22 alike
constexpr PointEventType LastMeasureEvent = 22;
constexpr PointEventType StatusReadEvent = 23;
constexpr PointEventType AddressChangedEvent = 24;
constexpr PointEventType DatesChangedEvent = 25;
constexpr PointEventType ThresholdExceededEvent = 26;    // Measure
constexpr PointEventType PrethresholdExceededEvent = 27; // Measure
constexpr PointEventType ThresholdReducedEvent = 28;     // Measure
constexpr PointEventType ParamsSetEvent = 29;
constexpr PointEventType AlgorithmChangedEvent = 30;     // MeasuringAlgorithm
constexpr PointEventType SerialPortErrorEvent = 31;
constexpr PointEventType NoAnswerEvent = 32;             // Error
constexpr PointEventType ReadErrorEvent = 33;            // Error
constexpr PointEventType WriteErrorEvent = 34;           // Error
constexpr PointEventType UnknownVariableEvent = 35;
constexpr PointEventType ValueReadEvent = 36;            // Measure
constexpr PointEventType ParamsChangedEvent = 37;        // ChangedParams
constexpr PointEventType UnknownEvent = 38;

// One time-stamped outcome for the unit at `address`, with an optional
// payload (a copy owned by the event) and a display text composed once, at
// construction, in the locale active then. Events are values: copies are
// independent and carry all six fields, the mark included.
//
// Thread safety: distinct events (copies included) are independent; one
// event shared between threads is safe only while nobody changes it.
class PointEvent {
public:
    // Stamps the current local time to the whole second and composes the
    // text. Raises boost::bad_any_cast when the text needs the payload
    // (types 5, 6, 26-28 and 36: Measure; 30: MeasuringAlgorithm) and it
    // holds something else; then no event exists.
    PointEvent(PointEventType type, const UnitAddress& address, boost::any payload);
    virtual ~PointEvent();

    PointEvent(const PointEvent&) = default;
    PointEvent& operator=(const PointEvent&) = default;

    // The placeholder that a point holds before it has accepted an event:
    // type 38, address 1.1.1, payload uint32_t(0).
    static PointEvent placeholder();

    PointEventType type() const { return type_; }
    wxDateTime time() const { return time_; }
    UnitAddress address() const { return address_; }
    boost::any payload() const { return payload_; }
    wxString text() const { return text_; }

    // Types 5-22 and 26-28: the measure's raw value with "%.3g"; type 36:
    // the measure's value text; otherwise empty. Raises boost::bad_any_cast
    // when a measure type's payload is not a Measure.
    wxString valueText() const;

    bool mark() const { return mark_; }
    void setMark(bool flag) { mark_ = flag; }

    // Takes date and time of day (milliseconds included) from t, both in
    // local time. The text stays as composed.
    void setTime(const wxDateTime& t);

    bool isLinkError() const;              // 32, 33, 34
    bool isThresholdExceeded() const;      // 26
    bool isPrethresholdExceeded() const;   // 27
    bool isThresholdReduced() const;       // 28
    bool isValueRead() const;              // 36
    bool isParamsChanged() const;          // 37

private:
    wxString buildText() const;

    UnitAddress address_;
    PointEventType type_;
    wxDateTime time_;
    boost::any payload_;
    wxString text_;
    bool mark_ = false;
};

}  // namespace mirel_varno

#endif
