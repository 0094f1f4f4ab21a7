#include "monitor/point.h"

#include <wx/translation.h>

#include "base/error.h"

namespace mirel_varno {

namespace {

wxString translated(const char* text)
{
    return wxGetTranslation(wxString::FromAscii(text));
}

constexpr int32_t DefaultRequest = 4;

bool inRange(int32_t state, PointState first, PointState last)
{
    return state >= first && state <= last;
}

}  // namespace

Point::Point(const UnitAddress& address)
    : lastEvent_(PointEvent::placeholder()),
      previousEvent_(PointEvent::placeholder()),
      address_(address)
{
    fillTables();
}

Point::Point(const Point& other)
    : lastEvent_(PointEvent::placeholder()),
      previousEvent_(PointEvent::placeholder()),
      address_(other.address_)
{
    *this = other;
}

Point& Point::operator=(const Point& other)
{
    if (this == &other) {
        return *this;
    }
    nextRequests_ = other.nextRequests_;
    address_ = other.address_;
    algorithms_ = other.algorithms_;
    claimed_ = other.claimed_.load();
    removalRequested_ = other.removalRequested_.load();
    lastLinkError_ = other.lastLinkError_;
    overrides_ = other.overrides_;
    handlers_ = other.handlers_;
    pointParams_ = other.pointParams_;
    state_ = other.state_;
    name_ = other.name_;
    return *this;
}

Point::~Point() = default;

void Point::fillTables()
{
    // The request numbers are the driver's; the point only hands them out.
    nextRequests_ = {
        {PluggedState, 1},
        {UnpluggedState, 2},
        {ReadingParamsState, 4},
        {ParamsSpareState, 6},
        {ReadingAlgorithmsState, 5},
        {AlgorithmsSpareState, 7},
        {MeasuringState, 8},
        {ThresholdExceededState, 8},
        {PrethresholdExceededState, 8},
        {ThresholdReducedState, 8},
        {MeasuresRestartedState, 8},
        {ValueReadState, 29},
    };
    // Each measure step asks for the next one: 8 asks 9, ..., 24 asks 25.
    for (int32_t state = FirstMeasureStepState; state <= LastMeasureStepState; ++state) {
        nextRequests_[state] = state + 1;
    }
    // SerialPortErrorState has no entry: it gets the default like any
    // unknown state.
    for (int32_t state = FirstNoAnswerState; state <= WriteErrorFailedState; ++state) {
        if (state != SerialPortErrorState) {
            nextRequests_[state] = DefaultRequest;
        }
    }

    handlers_ = {
        {PluggedEvent, &Point::onPlugged},
        {UnpluggedEvent, &Point::onUnplugged},
        {MeasuresRestartedEvent, &Point::onMeasuresRestarted},
        {ParamsReadEvent, &Point::onParamsRead},
        {AlgorithmsReadEvent, &Point::onAlgorithmsRead},
        {InitialMeasureEvent, &Point::onInitialMeasure},
        {StatusReadEvent, &Point::onStatusRead},
        {AddressChangedEvent, &Point::onAddressChanged},
        {DatesChangedEvent, &Point::onDatesChanged},
        {ThresholdExceededEvent, &Point::onThresholdExceeded},
        {PrethresholdExceededEvent, &Point::onPrethresholdExceeded},
        {ThresholdReducedEvent, &Point::onThresholdReduced},
        {ParamsSetEvent, &Point::onParamsSet},
        {AlgorithmChangedEvent, &Point::onAlgorithmChanged},
        {SerialPortErrorEvent, &Point::onSerialPortError},
        {NoAnswerEvent, &Point::onNoAnswer},
        {ReadErrorEvent, &Point::onReadError},
        {WriteErrorEvent, &Point::onWriteError},
        {UnknownVariableEvent, &Point::onUnknownVariable},
        {ValueReadEvent, &Point::onValueRead},
        {ParamsChangedEvent, &Point::onParamsChanged},
    };
    for (PointEventType type = MeasureEvent; type <= LastMeasureEvent; ++type) {
        handlers_[type] = &Point::onMeasure;
    }
}

// ---- Virtual operations

void Point::hook() {}
bool Point::eventMark() { return true; }
bool Point::auxFlag() { return false; }

bool Point::onPlugged(PointEvent&)
{
    state_ = ReadingParamsState;
    return true;
}

bool Point::onUnplugged(PointEvent&)
{
    state_ = UnpluggedState;
    return true;
}

bool Point::onParamsRead(PointEvent& event)
{
    pointParams_ = boost::any_cast<const PointParams&>(event.payload());
    state_ = ReadingAlgorithmsState;
    return true;
}

bool Point::onAlgorithmsRead(PointEvent& event)
{
    algorithms_ = boost::any_cast<const AlgorithmList&>(event.payload());
    state_ = MeasuringState;
    return true;
}

bool Point::onParamsSet(PointEvent&)
{
    state_ = ReadingParamsState;
    return true;
}

bool Point::onMeasure(PointEvent& event) { return takeMeasure(event, FirstMeasureStepState); }

bool Point::onInitialMeasure(PointEvent& event) { return takeMeasure(event, MeasuringState); }

bool Point::onThresholdExceeded(PointEvent& event)
{
    return takeMeasure(event, ThresholdExceededState);
}

bool Point::onPrethresholdExceeded(PointEvent& event)
{
    return takeMeasure(event, PrethresholdExceededState);
}

bool Point::onThresholdReduced(PointEvent& event)
{
    return takeMeasure(event, ThresholdReducedState);
}

bool Point::onWriteError(PointEvent&)
{
    return failureSeries(FirstWriteErrorState, WriteErrorFailedState);
}
bool Point::onReadError(PointEvent&)
{
    return failureSeries(FirstReadErrorState, ReadErrorFailedState);
}
bool Point::onNoAnswer(PointEvent&)
{
    return failureSeries(FirstNoAnswerState, NoAnswerFailedState);
}

bool Point::onMeasuresRestarted(PointEvent&)
{
    state_ = MeasuresRestartedState;
    return true;
}

bool Point::onAlgorithmChanged(PointEvent&)
{
    state_ = MeasuringState;
    return true;
}

bool Point::onStatusRead(PointEvent&)
{
    state_ = MeasuringState;
    return true;
}

bool Point::onAddressChanged(PointEvent&)
{
    state_ = PluggedState;
    return true;
}

bool Point::onDatesChanged(PointEvent&)
{
    state_ = PluggedState;
    return true;
}

bool Point::onSerialPortError(PointEvent&)
{
    if (state_ == SerialPortErrorState) {
        return false;
    }
    state_ = SerialPortErrorState;
    return true;
}

bool Point::onUnknownVariable(PointEvent&)
{
    if (state_ == UnknownVariableState) {
        return false;
    }
    state_ = UnknownVariableState;
    return true;
}

bool Point::onValueRead(PointEvent& event) { return takeMeasure(event, ValueReadState); }

bool Point::onParamsChanged(PointEvent& event)
{
    const ChangedParams changed = boost::any_cast<const ChangedParams&>(event.payload());
    std::vector<PointParam>& params = pointParams_.params();
    for (const auto& entry : changed) {
        if (static_cast<size_t>(entry.first) < params.size()) {
            params[entry.first].setValueFromText(entry.second);
        }
    }
    state_ = MeasuringState;
    measure_.clearValue();
    return true;
}

bool Point::takeMeasure(PointEvent& event, PointState state)
{
    measure_ = boost::any_cast<const Measure&>(event.payload());
    state_ = state;
    return true;
}

bool Point::failureSeries(PointState first, PointState failed)
{
    if (state_ >= first && state_ < failed) {
        ++state_;
        if (state_ == failed) {
            measure_.clearValue();
            return true;
        }
        return false;
    }
    if (state_ == failed) {
        return false;
    }
    state_ = first;
    return false;
}

// ---- Event intake

bool Point::handleEvent(PointEvent& event)
{
    if (event.address() != address_) {
        return false;
    }
    const PointEventType type = event.type();

    bool result;
    const auto override = overrides_.find(type);
    if (override != overrides_.end()) {
        result = (this->*override->second)(event);
    } else {
        const auto handler = handlers_.find(type);
        if (handler == handlers_.end()) {
            state_ = ReadingParamsState;
            result = false;
        } else {
            result = (this->*handler->second)(event);
        }
    }

    rememberEvent(event);
    event.setMark(eventMark());
    lastEvent_.setMark(event.mark());

    if (result) {
        lastLinkError_ = event.isLinkError() ? boost::any_cast<Error>(event.payload()) : NoError;
    }
    return result;
}

bool Point::callDefaultHandler(PointEvent& event)
{
    const auto handler = handlers_.find(event.type());
    if (handler == handlers_.end()) {
        return false;
    }
    return (this->*handler->second)(event);
}

void Point::setOverride(PointEventType type, Handler handler)
{
    if (handler == nullptr) {
        overrides_.erase(type);
        return;
    }
    overrides_[type] = handler;
}

void Point::setNextRequest(int32_t state, int32_t request)
{
    nextRequests_[state] = request;
}

void Point::rememberEvent(const PointEvent& event)
{
    previousEvent_ = lastEvent_;
    lastEvent_ = event;
}

// ---- State queries

wxString Point::statusText() const
{
    const int32_t s = state_;
    if (inRange(s, MeasuringState, LastMeasureStepState)) {
        return measure_.hasValue() ? measure_.valueText() : translated("Measure");
    }
    if (inRange(s, FirstNoAnswerState, NoAnswerFailedState)) {
        return unitErrorText(NoAnswer);
    }
    if (inRange(s, FirstReadErrorState, ReadErrorFailedState)) {
        return translated("Read error");
    }
    if (inRange(s, FirstWriteErrorState, WriteErrorFailedState)) {
        return unitErrorText(WriteError);
    }
    switch (s) {
    case PluggedState:
        return translated("Point plugged");
    case UnpluggedState:
        return translated("Point unplugged");
    case ReadingParamsState:
        return translated("Reading parameters...");
    case ReadingAlgorithmsState:
        return translated("Reading algorithms...");
    case ThresholdExceededState:
        return translated("Threshold exceeded") + measure_.valueText();
    case PrethresholdExceededState:
        return translated("Prethreshold exceeded") + measure_.valueText();
    case ThresholdReducedState:
        return translated("Threshold reduced") + measure_.valueText();
    case SerialPortErrorState:
        return translated("Serial port error");
    case UnknownVariableState:
        return translated("Unknown variable");
    case MeasuresRestartedState:
        return translated("Measures restarted");
    case ValueReadState:
        return measure_.valueText();
    default:  // the spare states and states outside the table
        return wxString();
    }
}

int32_t Point::nextRequest() const
{
    const auto entry = nextRequests_.find(state_);
    return entry != nextRequests_.end() ? entry->second : DefaultRequest;
}

bool Point::isFailed() const
{
    switch (state_) {
    case NoAnswerFailedState:
    case SerialPortErrorState:
    case UnknownVariableState:
    case ReadErrorFailedState:
    case WriteErrorFailedState:
        return true;
    default:
        return false;
    }
}

wxString Point::addressText() const
{
    return wxString::Format(wxT("%03d.%03d.%03d"), address_.first, address_.second,
                            address_.third);
}

// ---- Claiming

bool Point::tryClaim()
{
    wxCriticalSectionLocker locker(claimLock_);
    if (claimed_) {
        return false;
    }
    claimed_ = true;
    return true;
}

bool Point::requestRemoval()
{
    if (!claimed_) {
        return false;
    }
    removalRequested_ = true;
    return true;
}

}  // namespace mirel_varno
