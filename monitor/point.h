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
// Only the claim flag is guarded (by tryClaim); a user serialises its work
// on a point by holding the claim.
class Point {
public:
    // A handler: takes the event, returns whether it is worth reporting.
    // A derived class registers its own with
    // static_cast<Point::Handler>(&Derived::onSomething).
    using Handler = bool (Point::*)(PointEvent&);

    // State 1, nothing read yet, placeholder events, empty override table.
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
    virtual bool onPlugged(PointEvent& event);              // 3
    virtual bool onUnplugged(PointEvent& event);            // 2
    virtual bool onParamsRead(PointEvent& event);           // stores PointParams; 5
    virtual bool onAlgorithmsRead(PointEvent& event);       // stores AlgorithmList; 7
    virtual bool onParamsSet(PointEvent& event);            // 3
    virtual bool onMeasure(PointEvent& event);              // stores Measure; 8
    virtual bool onInitialMeasure(PointEvent& event);       // stores Measure; 7
    virtual bool onThresholdExceeded(PointEvent& event);    // stores Measure; 25
    virtual bool onPrethresholdExceeded(PointEvent& event); // stores Measure; 26
    virtual bool onThresholdReduced(PointEvent& event);     // stores Measure; 27
    virtual bool onWriteError(PointEvent& event);           // series 38..41
    virtual bool onReadError(PointEvent& event);            // series 34..37
    virtual bool onNoAnswer(PointEvent& event);             // series 28..31
    virtual bool onMeasuresRestarted(PointEvent& event);    // 42
    virtual bool onAlgorithmChanged(PointEvent& event);     // 7
    virtual bool onStatusRead(PointEvent& event);           // 7
    virtual bool onAddressChanged(PointEvent& event);       // 1
    virtual bool onDatesChanged(PointEvent& event);         // 1
    virtual bool onSerialPortError(PointEvent& event);      // 32; false when already there
    virtual bool onUnknownVariable(PointEvent& event);      // 33; false when already there
    virtual bool onValueRead(PointEvent& event);            // stores Measure; 43
    virtual bool onParamsChanged(PointEvent& event);        // applies ChangedParams; 7

    // ---- Event intake and state

    // Refuses (false, nothing touched) an event for another address.
    // Otherwise runs the override or the built-in handler (no handler:
    // state 3 and false), remembers and marks the event, and after a true
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
    // States 31, 32, 33, 37 and 41.
    bool isFailed() const;
    bool isThresholdExceeded() const { return state_ == 25; }
    bool isPrethresholdExceeded() const { return state_ == 26; }
    bool isThresholdReduced() const { return state_ == 27; }
    bool isValueRead() const { return state_ == 43; }

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
    bool takeMeasure(PointEvent& event, int32_t state);
    // Steps the failure series base..base+3: true only on reaching the top.
    bool failureSeries(int32_t base);
    void fillTables();

    // Atomic because release() and the readers take no lock while another
    // thread may be inside tryClaim().
    std::atomic<bool> claimed_{false};
    std::atomic<bool> removalRequested_{false};
    wxString name_;
    int32_t state_ = 1;
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
