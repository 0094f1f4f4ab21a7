#ifndef MIREL_VARNO_MONITOR_POINT_H
#define MIREL_VARNO_MONITOR_POINT_H

#include <atomic>
#include <cstdint>
#include <map>

#include <wx/string.h>
#include <wx/thread.h>

#include "model/algorithm.h"
#include "base/error.h"
#include "model/measure.h"
#include "model/pointparam.h"
#include "base/unitaddress.h"
#include "monitor/pointevent.h"

namespace mirel_varno {

// Where a point stands. The numbers are part of the library's interface
// (state() and setState() carry them, and users key their next-request
// tables on them), so each name keeps its number.
enum PointState : int32_t {
    PluggedState = 1,             // new, or its address or dates changed
    UnpluggedState = 2,
    ReadingParamsState = 3,
    ParamsSpareState = 4,         // entered by no built-in handler; a derived class may
    ReadingAlgorithmsState = 5,
    AlgorithmsSpareState = 6,     // entered by no built-in handler; a derived class may
    MeasuringState = 7,
    // A measure arrived: the first of the measure steps whose next request
    // is the state plus one; only the first is entered by a built-in handler.
    FirstMeasureStepState = 8,
    LastMeasureStepState = 24,
    ThresholdExceededState = 25,
    PrethresholdExceededState = 26,
    ThresholdReducedState = 27,
    // Each failure series counts up from its first state; its last is the
    // failed one (see Point::failureSeries).
    FirstNoAnswerState = 28,
    NoAnswerFailedState = 31,
    SerialPortErrorState = 32,
    UnknownVariableState = 33,
    FirstReadErrorState = 34,
    ReadErrorFailedState = 37,
    FirstWriteErrorState = 38,
    WriteErrorFailedState = 41,
    MeasuresRestartedState = 42,
    ValueReadState = 43
};

// One field unit as the monitoring layer sees it: its address, the data
// last obtained from it and a state number. The user performs the
// exchanges, wraps each outcome in a PointEvent and feeds it to
// handleEvent; the point stores the payload, moves its state and tells
// whether the event is worth reporting. statusText, nextRequest and the
// predicates then say what to show and what to ask next.
//
// Every handler is virtual and dispatched through a table, so a derived
// class may override a handler or register its own for any event type in
// the override table, which is consulted first. Nothing here raises
// Exception; a payload of the wrong type raises boost::bad_any_cast.
//
// Thread safety: only the claim flag is guarded (by tryClaim, release and
// the removal request, safe from any thread); everything else of a point
// is unguarded, so a thread works on a point only while it holds the
// claim. Points in a PointList are claimed through the list (claimAt,
// claimFound), which may otherwise destroy them (see PointList).
class Point {
public:
    // A handler: takes the event, returns whether it is worth reporting.
    // A derived class registers its own with
    // static_cast<Point::Handler>(&Derived::onSomething).
    using Handler = bool (Point::*)(PointEvent&);

    // PluggedState, nothing read yet, placeholder events, empty override table.
    explicit Point(const UnitAddress& address);
    // Fresh placeholder events, no measure value and a lock of its own;
    // everything else as assignment copies it.
    Point(const Point& other);
    // Copies the next-request table, address, algorithms, both flags,
    // lastLinkError, both handler tables, parameters, state and name. The
    // stored events, the measure and the lock stay this point's own.
    Point& operator=(const Point& other);
    virtual ~Point();

    // Does nothing; for derived classes.
    virtual void hook();
    // The mark that handleEvent stamps on every accepted event: true.
    virtual bool eventMark();
    // False; for derived classes.
    virtual bool auxFlag();

    // ---- Handlers (the state each one enters is in brackets)
    virtual bool onPlugged(PointEvent& event);              // ReadingParams
    virtual bool onUnplugged(PointEvent& event);            // Unplugged
    virtual bool onParamsRead(PointEvent& event);           // stores PointParams; ReadingAlgorithms
    virtual bool onAlgorithmsRead(PointEvent& event);       // stores AlgorithmList; Measuring
    virtual bool onParamsSet(PointEvent& event);            // ReadingParams
    virtual bool onMeasure(PointEvent& event);              // stores Measure; FirstMeasureStep
    virtual bool onInitialMeasure(PointEvent& event);       // stores Measure; Measuring
    virtual bool onThresholdExceeded(PointEvent& event);    // stores Measure; ThresholdExceeded
    virtual bool onPrethresholdExceeded(PointEvent& event); // stores Measure; PrethresholdExceeded
    virtual bool onThresholdReduced(PointEvent& event);     // stores Measure; ThresholdReduced
    virtual bool onWriteError(PointEvent& event);           // the write-error series
    virtual bool onReadError(PointEvent& event);            // the read-error series
    virtual bool onNoAnswer(PointEvent& event);             // the no-answer series
    virtual bool onMeasuresRestarted(PointEvent& event);    // MeasuresRestarted
    virtual bool onAlgorithmChanged(PointEvent& event);     // Measuring
    virtual bool onStatusRead(PointEvent& event);           // Measuring
    virtual bool onAddressChanged(PointEvent& event);       // Plugged
    virtual bool onDatesChanged(PointEvent& event);         // Plugged
    virtual bool onSerialPortError(PointEvent& event);      // SerialPortError; false when already there
    virtual bool onUnknownVariable(PointEvent& event);      // UnknownVariable; false when already there
    virtual bool onValueRead(PointEvent& event);            // stores Measure; ValueRead
    virtual bool onParamsChanged(PointEvent& event);        // applies ChangedParams; Measuring

    // ---- Event intake and state

    // Refuses (false, nothing touched) an event for another address.
    // Otherwise runs the override or the built-in handler (no handler:
    // ReadingParamsState and false), remembers and marks the event, and after a true
    // result sets lastLinkError from a link-error event's Error payload or
    // to NoError. Raises boost::bad_any_cast for a payload of the wrong type.
    bool handleEvent(PointEvent& event);
    // The built-in handler only; false when the type has none.
    bool callDefaultHandler(PointEvent& event);
    // Replaces the handler for the type; a null handler removes the override.
    void setOverride(PointEventType type, Handler handler);
    void setNextRequest(int32_t state, int32_t request);

    int32_t state() const { return state_; }
    void setState(int32_t value) { state_ = value; }
    // What to show for the current state (translated).
    wxString statusText() const;
    // The request to issue next; 4 for a state without an entry.
    int32_t nextRequest() const;
    // The failed states: the last of each failure series, SerialPortError
    // and UnknownVariable.
    bool isFailed() const;
    bool isThresholdExceeded() const { return state_ == ThresholdExceededState; }
    bool isPrethresholdExceeded() const { return state_ == PrethresholdExceededState; }
    bool isThresholdReduced() const { return state_ == ThresholdReducedState; }
    bool isValueRead() const { return state_ == ValueReadState; }

    // The error of the last link-error event that a handler reported.
    Error lastLinkError() const { return lastLinkError_; }
    void setLastLinkError(Error code) { lastLinkError_ = code; }

    // ---- Stored data

    UnitAddress address() const { return address_; }
    // "%03d.%03d.%03d".
    wxString addressText() const;
    wxString name() const { return name_; }
    void setName(const wxString& text) { name_ = text; }
    PointParams pointParams() const { return pointParams_; }
    void setPointParams(const PointParams& value) { pointParams_ = value; }
    wxString text27() const { return pointParams_.text27(); }
    wxString text17() const { return pointParams_.text17(); }
    AlgorithmList algorithms() const { return algorithms_; }
    int32_t algorithmCount() const { return static_cast<int32_t>(algorithms_.size()); }
    Measure measure() const { return measure_; }
    // The measure loses its value; everything else of it stays.
    void clearMeasure() { measure_.clearValue(); }
    PointEvent lastEvent() const { return lastEvent_; }
    PointEvent previousEvent() const { return previousEvent_; }
    // lastEvent moves to previousEvent; the event becomes lastEvent.
    void rememberEvent(const PointEvent& event);

    // ---- Claiming

    // True and claimed when it was free; false when someone holds it.
    bool tryClaim();
    // Clears the claim; only for its holder.
    void release() { claimed_ = false; }
    bool isClaimed() const { return claimed_; }
    // Marks a claimed point for removal; false and unchanged when unclaimed.
    bool requestRemoval();
    bool removalRequested() const { return removalRequested_; }

private:
    friend class PointList;

    // Stores the event's Measure payload and enters the state: true.
    bool takeMeasure(PointEvent& event, PointState state);
    // Steps the failure series from `first` to `failed`: true only on
    // reaching `failed`.
    bool failureSeries(PointState first, PointState failed);
    void fillTables();

    // Atomic because release() and the readers take no lock while another
    // thread may be inside tryClaim().
    std::atomic<bool> claimed_{false};
    std::atomic<bool> removalRequested_{false};
    wxString name_;
    int32_t state_ = PluggedState;
    PointEvent lastEvent_;
    PointEvent previousEvent_;
    PointParams pointParams_;
    UnitAddress address_;
    AlgorithmList algorithms_;
    Measure measure_;
    Error lastLinkError_ = NoError;
    std::map<int32_t, int32_t> nextRequests_;
    std::map<PointEventType, Handler> handlers_;
    std::map<PointEventType, Handler> overrides_;
    wxCriticalSection claimLock_;
};

}  // namespace mirel_varno

#endif
