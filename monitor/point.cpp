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

constexpr int32_t NoAnswerBase = 28;
constexpr int32_t ReadErrorBase = 34;
constexpr int32_t WriteErrorBase = 38;
constexpr int32_t SeriesLength = 3;  // top = base + 3, the failed state

constexpr int32_t SerialPortErrorState = 32;
constexpr int32_t UnknownVariableState = 33;

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
    nextRequests_ = {{1, 1}, {2, 2}, {3, 4}, {4, 6}, {5, 5}, {6, 7}, {7, 8}, {8, 9}};
    for (int32_t state = 9; state <= 24; ++state) {
        nextRequests_[state] = state + 1;
    }
    for (int32_t state : {25, 26, 27, 42}) {
        nextRequests_[state] = 8;
    }
    // 32 has no entry: it gets the default like any unknown state.
    for (int32_t state = 28; state <= 41; ++state) {
        if (state != SerialPortErrorState) {
            nextRequests_[state] = DefaultRequest;
        }
    }
    nextRequests_[43] = 29;

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
    state_ = 3;
    return true;
}

bool Point::onUnplugged(PointEvent&)
{
    state_ = 2;
    return true;
}

bool Point::onParamsRead(PointEvent& event)
{
    pointParams_ = boost::any_cast<const PointParams&>(event.payload());
    state_ = 5;
    return true;
}

bool Point::onAlgorithmsRead(PointEvent& event)
{
    algorithms_ = boost::any_cast<const AlgorithmList&>(event.payload());
    state_ = 7;
    return true;
}

bool Point::onParamsSet(PointEvent&)
{
    state_ = 3;
    return true;
}

bool Point::onMeasure(PointEvent& event) { return takeMeasure(event, 8); }

bool Point::onInitialMeasure(PointEvent& event) { return takeMeasure(event, 7); }

bool Point::onThresholdExceeded(PointEvent& event) { return takeMeasure(event, 25); }

bool Point::onPrethresholdExceeded(PointEvent& event) { return takeMeasure(event, 26); }

bool Point::onThresholdReduced(PointEvent& event) { return takeMeasure(event, 27); }

bool Point::onWriteError(PointEvent&) { return failureSeries(WriteErrorBase); }
bool Point::onReadError(PointEvent&) { return failureSeries(ReadErrorBase); }
bool Point::onNoAnswer(PointEvent&) { return failureSeries(NoAnswerBase); }

bool Point::onMeasuresRestarted(PointEvent&)
{
    state_ = 42;
    return true;
}

bool Point::onAlgorithmChanged(PointEvent&)
{
    state_ = 7;
    return true;
}

bool Point::onStatusRead(PointEvent&)
{
    state_ = 7;
    return true;
}

bool Point::onAddressChanged(PointEvent&)
{
    state_ = 1;
    return true;
}

bool Point::onDatesChanged(PointEvent&)
{
    state_ = 1;
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

bool Point::onValueRead(PointEvent& event) { return takeMeasure(event, 43); }

bool Point::onParamsChanged(PointEvent& event)
{
    const ChangedParams changed = boost::any_cast<const ChangedParams&>(event.payload());
    std::vector<PointParam>& params = pointParams_.params();
    for (const auto& entry : changed) {
        if (static_cast<size_t>(entry.first) < params.size()) {
            params[entry.first].setValueFromText(entry.second);
        }
    }
    state_ = 7;
    measure_.clearValue();
    return true;
}

bool Point::takeMeasure(PointEvent& event, int32_t state)
{
    measure_ = boost::any_cast<const Measure&>(event.payload());
    state_ = state;
    return true;
}

bool Point::failureSeries(int32_t base)
{
    const int32_t top = base + SeriesLength;
    if (state_ >= base && state_ < top) {
        ++state_;
        if (state_ == top) {
            measure_.clearValue();
            return true;
        }
        return false;
    }
    if (state_ == top) {
        return false;
    }
    state_ = base;
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
            state_ = 3;
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
    if (s >= 7 && s <= 24) {
        return measure_.hasValue() ? measure_.valueText() : translated("Measure");
    }
    if (s >= 28 && s <= 31) {
        return unitErrorText(NoAnswer);
    }
    if (s >= 34 && s <= 37) {
        return translated("Read error");
    }
    if (s >= 38 && s <= 41) {
        return unitErrorText(WriteError);
    }
    switch (s) {
    case 1:
        return translated("Point plugged");
    case 2:
        return translated("Point unplugged");
    case 3:
        return translated("Reading parameters...");
    case 5:
        return translated("Reading algorithms...");
    case 25:
        return translated("Threshold exceeded") + measure_.valueText();
    case 26:
        return translated("Prethreshold exceeded") + measure_.valueText();
    case 27:
        return translated("Threshold reduced") + measure_.valueText();
    case SerialPortErrorState:
        return translated("Serial port error");
    case UnknownVariableState:
        return translated("Unknown variable");
    case 42:
        return translated("Measures restarted");
    case 43:
        return measure_.valueText();
    default:  // 4, 6 and states outside the table
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
    return state_ == 31 || state_ == 32 || state_ == 33 || state_ == 37 || state_ == 41;
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
