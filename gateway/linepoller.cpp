#include "gateway/linepoller.h"

#include <sys/prctl.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <exception>

#include "gateway/log.h"
#include "gateway/payloads.h"
#include "base/error.h"
#include "model/measure.h"
#include "model/pointparam.h"

namespace varno_gateway {

using namespace mirel_varno;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

namespace {

// The request numbers that a point's nextRequest() answers with; any
// other number means: read the measure.
constexpr int32_t AnnounceRequest = 1;        // new point: nothing to read yet
constexpr int32_t ReannounceRequest = 2;      // unplugged point
constexpr int32_t ReadParamsRequest = 4;
constexpr int32_t ReadAlgorithmsRequest = 5;

// The event that stands for a failed read.
PointEvent failureEvent(const UnitAddress& address, const Exception& failure)
{
    switch (failure.code()) {
    case NoAnswer:
    case NotAllDataReceived:
        return PointEvent(NoAnswerEvent, address, failure.code());
    case WriteError:
        return PointEvent(WriteErrorEvent, address, failure.code());
    case SerialPortError:
        return PointEvent(SerialPortErrorEvent, address, boost::any());
    case UnknownVariable:
        return PointEvent(UnknownVariableEvent, address, boost::any());
    default:
        return PointEvent(ReadErrorEvent, address, failure.code());
    }
}

// The event for a measure, by the alarm bits of its status word.
PointEventType measureEventType(const Measure& measure, bool first)
{
    const MeasureStatus status = measure.measureStatus();
    if (status.thresholdExceeded()) {
        return ThresholdExceededEvent;
    }
    if (status.prethresholdExceeded()) {
        return PrethresholdExceededEvent;
    }
    if (status.thresholdReduced()) {
        return ThresholdReducedEvent;
    }
    return first ? InitialMeasureEvent : MeasureEvent;
}

bool isFailureEvent(PointEventType type)
{
    return type >= SerialPortErrorEvent && type <= UnknownVariableEvent;
}

// Measures go to their own topic every poll; as events they would only
// repeat it. The alarm kinds are events when the point enters them.
bool isMeasureEvent(PointEventType type)
{
    return (type >= InitialMeasureEvent && type <= LastMeasureEvent) || type == ValueReadEvent;
}

bool isAlarmEvent(PointEventType type)
{
    return type >= ThresholdExceededEvent && type <= ThresholdReducedEvent;
}

}  // namespace

std::unique_ptr<SerialPortVarnoProtocol> openLine(const LineConfig& config)
{
    auto line = std::make_unique<SerialPortVarnoProtocol>(config.device.c_str());
    if (line->isOpen() && config.baud != 9600) {
        line->open(config.device.c_str(), config.baud, 'N', 8, OneStopBit);
    }
    return line;
}

std::vector<std::string> unitRetainedTopics(const MqttConfig& mqtt, const std::string& line,
                                            const std::string& address)
{
    const std::string base = mqtt.topicPrefix + "/" + line + "/" + address + "/";
    std::vector<std::string> topics = {base + "availability", base + "params", base + "status"};
    if (mqtt.discovery) {
        for (std::string& t : discoveryTopics(mqtt.discoveryPrefix, mqtt.clientId, line, address)) {
            topics.push_back(std::move(t));
        }
    }
    return topics;
}

LinePoller::LinePoller(const LineConfig& config, const MqttConfig& mqtt, MessageSink& sink,
                       Metrics& metrics, LineFactory factory,
                       const std::map<std::string, std::string>& known)
    : config_(config), mqtt_(mqtt), sink_(sink), metrics_(metrics), factory_(std::move(factory)),
      known_(known)
{
    // The listed units are there, offline, before the device is even tried.
    metrics_.lineUp(config_.name, true);
    for (const UnitConfig& unit : config_.units) {
        addPoint(unit.address, unit.name, unit.measureUnits);
    }
}

LinePoller::~LinePoller()
{
    stop();
}

void LinePoller::start()
{
    thread_ = std::thread([this] { supervise(); });
}

void LinePoller::stop()
{
    stop_.raise();
    if (thread_.joinable()) {
        thread_.join();
    }
}

std::map<std::string, std::string> LinePoller::units() const
{
    std::lock_guard<std::mutex> hold(knownMutex_);
    return known_;
}

void LinePoller::supervise()
{
    // The line's exchanges are mostly timed waits; by default each may end
    // up to 50 us late, some 0.2 ms an exchange. Ask for them on time.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    while (!stop_.raised()) {
        std::string reason;
        try {
            run();
            return;  // only a stop ends it
        } catch (const Exception& e) {
            reason = utf8(e.message());
        } catch (const std::exception& e) {
            reason = e.what();
        } catch (...) {
            reason = "an unknown failure";
        }
        if (stop_.raised()) {
            return;
        }
        const uint32_t backoffMs = restartBackoffMs_;
        lineFailed(reason, backoffMs);
        if (stop_.waitFor(milliseconds(backoffMs))) {
            return;
        }
        restartBackoffMs_ = std::min<uint32_t>(backoffMs * 2, 60000);
    }
}

void LinePoller::lineFailed(const std::string& reason, uint32_t restartMs)
{
    up_ = false;
    metrics_.lineUp(config_.name, false);
    metrics_.lineOpen(config_.name, false);
    if (live_ != nullptr) {
        live_->lineOpen(config_.name, false);
    }
    logLine(Level::Error, "line " + config_.name + ": stopped: " + reason + "; starting again in " +
                              std::to_string(restartMs / 1000) + " s");
    try {
        sink_.publish(mqtt_.topicPrefix + "/" + config_.name + "/event",
                      lineEventPayload("line_down", reason, restartMs / 1000, Clock::now()),
                      false);
    } catch (const std::exception& e) {
        logLine(Level::Error, "line " + config_.name + ": cannot report it: " + e.what());
    }
    // The port is made anew on the next start, as after a lost device.
    line_.reset();
}

std::string LinePoller::topic(const Unit& unit, const char* leaf) const
{
    return mqtt_.topicPrefix + "/" + config_.name + "/" + unit.address + "/" + leaf;
}

template <typename Read>
void LinePoller::timed(Read read)
{
    const auto begin = steady_clock::now();
    const auto seconds = [&begin] {
        return std::chrono::duration<double>(steady_clock::now() - begin).count();
    };
    try {
        read();
    } catch (const Exception& failure) {
        metrics_.exchange(config_.name, seconds(), failure.code());
        throw;
    }
    metrics_.exchange(config_.name, seconds(), 0);
}

bool LinePoller::openDevice()
{
    uint32_t backoffMs = 1000;
    for (;;) {
        line_.reset();
        line_ = factory_(config_);
        line_->setStopDescriptor(stop_.descriptor());
        metrics_.lineOpen(config_.name, line_->isOpen());
        if (live_ != nullptr) {
            live_->lineOpen(config_.name, line_->isOpen());
        }
        if (line_->isOpen()) {
            logLine(Level::Info, "line " + config_.name + ": " + config_.device + " open");
            return true;
        }
        logLine(Level::Warning, "line " + config_.name + ": cannot open " + config_.device +
                                    "; trying again in " + std::to_string(backoffMs / 1000) +
                                    " s");
        if (stop_.waitFor(milliseconds(backoffMs))) {
            return false;
        }
        backoffMs = std::min<uint32_t>(backoffMs * 2, 30000);
    }
}

void LinePoller::addPoint(const UnitAddress& address, const std::string& name,
                          const std::string& measureUnits)
{
    const std::string text = unitAddressText(address);
    if (units_.count(text) != 0) {
        return;
    }
    auto* point = new Point(address);
    point->setName(wxString::FromUTF8(name.c_str()));
    points_.add(point);
    Unit& unit = units_[text];
    unit.address = text;
    unit.name = name;
    unit.configuredName = !name.empty();
    unit.configuredUnits = measureUnits;
    std::string before;
    {
        std::lock_guard<std::mutex> hold(knownMutex_);
        before = known_[text];
    }
    metrics_.pointInfo(config_.name, text, name);
    metrics_.pointState(config_.name, text, point->state());
    if (live_ != nullptr) {
        live_->pointInfo(config_.name, text, name);
    }
    if (!measureUnits.empty()) {
        // Complete already: Home Assistant shows the unit, unavailable,
        // before it has ever answered.
        try {
            publishDiscovery(unit, measureUnits);
        } catch (const std::exception& e) {
            unit.fault = e.what();
            logLine(Level::Error, "line " + config_.name + ": " + text +
                                      ": no discovery document: " + unit.fault);
        }
    }
    if (before == "online") {
        // Heard a moment ago by the poller this one replaces: it stays
        // online unless it fails to answer now.
        unit.availability = before;
        metrics_.pointAvailable(config_.name, text, true);
        if (live_ != nullptr) {
            live_->pointAvailable(config_.name, text, true);
        }
        return;
    }
    // Offline until it answers: a retained "online" of an earlier run
    // must not stand for a unit that has not been heard yet.
    setAvailability(unit, "offline");
}

void LinePoller::scanLine()
{
    logLine(Level::Info, "line " + config_.name + ": scanning (about 9 s)");
    PointList found;
    try {
        line_->scanNetwork(found);
    } catch (const Exception& e) {
        // The request could not be sent (the device went away): the line
        // goes on polling its points and scans again at its next time.
        logLine(Level::Warning, "line " + config_.name + ": scan failed: " +
                                    std::string(e.message().utf8_str()));
        markUnheard();
        return;
    }
    if (stop_.raised()) {
        return;  // cut short: what it found is not all there is
    }
    // A scan is no exchange: its 9 s would swamp the exchange times.
    metrics_.scan(config_.name);
    size_t added = 0;
    for (size_t i = 0; i < found.count(); ++i) {
        const UnitAddress address = found.at(i)->address();
        if (points_.find(address) == nullptr) {
            addPoint(address, std::string(), std::string());
            ++added;
        }
    }
    logLine(Level::Info, "line " + config_.name + ": scan found " +
                             std::to_string(found.count()) + " answer(s), " +
                             std::to_string(added) + " new point(s)");
    markUnheard();
}

void LinePoller::markUnheard()
{
    // A unit that an earlier poller of this line had found is "online" on
    // the broker until somebody says otherwise; a scan that did not find
    // it again is that somebody, or the retained state would stand for ever.
    std::vector<std::string> unheard;
    {
        std::lock_guard<std::mutex> hold(knownMutex_);
        for (auto& [address, availability] : known_) {
            if (units_.count(address) == 0 && availability == "online") {
                availability = "offline";
                unheard.push_back(address);
            }
        }
    }
    for (const std::string& address : unheard) {
        sink_.publish(mqtt_.topicPrefix + "/" + config_.name + "/" + address + "/availability",
                      "offline", true);
        logLine(Level::Info, "line " + config_.name + ": " + address +
                                 " not found again by the scan; offline");
    }
}

namespace {

// Holds a point's claim for one turn, whatever the turn raises.
class ClaimGuard {
public:
    explicit ClaimGuard(Point& point) : point_(point) {}
    ~ClaimGuard() { point_.release(); }
    ClaimGuard(const ClaimGuard&) = delete;
    ClaimGuard& operator=(const ClaimGuard&) = delete;

private:
    Point& point_;
};

}  // namespace

void LinePoller::run()
{
    if (!openDevice()) {
        return;
    }
    auto nextScan = steady_clock::time_point::max();
    if (config_.scan) {
        scanLine();
        if (config_.scanIntervalS > 0) {
            nextScan = steady_clock::now() + std::chrono::seconds(config_.scanIntervalS);
        }
    }
    const milliseconds interval(config_.pollIntervalMs);
    auto roundStart = steady_clock::now();
    while (!stop_.raised()) {
        for (size_t i = 0; i < points_.count() && !stop_.raised(); ++i) {
            Point* point = points_.at(i);
            if (!point->tryClaim()) {
                continue;
            }
            ClaimGuard claim(*point);
            Unit& unit = units_[unitAddressText(point->address())];
            std::string fault;
            bool failed = true;
            unit.turnAvailability = unit.availability;
            try {
                servePoint(*point, unit);
                failed = false;
            } catch (const Exception& e) {
                fault = utf8(e.message());
            } catch (const std::exception& e) {
                fault = e.what();
            }
            if (failed) {
                unitFailed(*point, unit, fault.empty() ? "a failure without a text" : fault);
                continue;
            }
            setAvailability(unit, unit.turnAvailability);
            if (!unit.fault.empty() && unit.availability == "online") {
                logLine(Level::Info, "line " + config_.name + ": " + unit.address +
                                         " served again");
                unit.fault.clear();
            }
        }
        if (stop_.raised()) {
            return;
        }
        if (!up_) {
            // A whole round went by: the next failure starts the back-off anew.
            up_ = true;
            restartBackoffMs_ = 1000;
            metrics_.lineUp(config_.name, true);
            logLine(Level::Info, "line " + config_.name + ": running again");
        }
        if (line_->deviceLost()) {
            logLine(Level::Warning, "line " + config_.name + ": " + config_.device + " lost");
            metrics_.lineOpen(config_.name, false);
            if (live_ != nullptr) {
                live_->lineOpen(config_.name, false);
            }
            if (!openDevice()) {
                return;
            }
        }
        if (steady_clock::now() >= nextScan) {
            scanLine();
            nextScan = steady_clock::now() + std::chrono::seconds(config_.scanIntervalS);
        }
        // The next round starts one interval after this one started, or at
        // once when the round took longer than that.
        roundStart = std::max(roundStart + interval, steady_clock::now());
        if (stop_.waitUntil(std::min(roundStart, nextScan))) {
            return;
        }
    }
}

void LinePoller::unitFailed(Point& point, Unit& unit, const std::string& reason)
{
    // Logged once per kind of fault, not every round it repeats.
    if (reason != unit.fault) {
        logLine(Level::Error, "line " + config_.name + ": " + unit.address + ": " + reason +
                                  "; marked failed, the line goes on");
        unit.fault = reason;
    }
    point.setState(ReadErrorFailedState);
    metrics_.pointState(config_.name, unit.address, point.state());
    if (live_ != nullptr) {
        live_->pointState(config_.name, unit.address, point.state(), utf8(point.statusText()));
    }
    setAvailability(unit, "offline");
}

void LinePoller::servePoint(Point& point, Unit& unit)
{
    // A new or recovering point walks through plugged, parameters and
    // algorithms within one round; a measure ends the point's turn.
    for (int steps = 0; steps < 4 && !stop_.raised(); ++steps) {
        const int32_t number = point.nextRequest();
        const bool measuring = number != AnnounceRequest && number != ReannounceRequest &&
                               number != ReadParamsRequest && number != ReadAlgorithmsRequest;
        if (!request(point, unit, number) || measuring) {
            break;
        }
    }
}

bool LinePoller::request(Point& point, Unit& unit, int32_t number)
{
    const UnitAddress address = point.address();
    try {
        switch (number) {
        case AnnounceRequest:
        case ReannounceRequest:
            deliver(point, unit, PointEvent(PluggedEvent, address, boost::any()));
            break;
        case ReadParamsRequest:
            readParams(point, unit);
            break;
        case ReadAlgorithmsRequest: {
            AlgorithmList algorithms;
            timed([&] { line_->readAlgorithms(address, algorithms); });
            deliver(point, unit, PointEvent(AlgorithmsReadEvent, address, algorithms));
            unit.algorithmsRead = true;
            publishParams(point, unit);
            break;
        }
        default:
            readMeasure(point, unit);
            break;
        }
    } catch (const Exception& failure) {
        deliver(point, unit, failureEvent(address, failure));
        return false;
    } catch (const boost::bad_any_cast&) {
        logLine(Level::Error, "line " + config_.name + ": " + unit.address +
                                  ": a value of an unexpected type; skipped");
        return false;
    }
    return true;
}

void LinePoller::readParams(Point& point, Unit& unit)
{
    const UnitAddress address = point.address();
    PointParams params;
    timed([&] { line_->readPointParams(address, params); });
    deliver(point, unit, PointEvent(ParamsReadEvent, address, params));
    if (!unit.configuredName) {
        unit.name = utf8(params.text27());
        point.setName(params.text27());
        metrics_.pointInfo(config_.name, unit.address, unit.name);
        if (live_ != nullptr) {
            live_->pointInfo(config_.name, unit.address, unit.name);
        }
    }
    publishParams(point, unit);
}

void LinePoller::readMeasure(Point& point, Unit& unit)
{
    const UnitAddress address = point.address();
    float value = 0.0f;
    uint32_t time = 0;
    uint8_t accuracy = 0;
    uint16_t status = 0;
    timed([&] { line_->readMeasure(address, -1, value, time, accuracy); });
    timed([&] { line_->readStatus(address, status); });
    const auto now = Clock::now();
    const int32_t current = point.pointParams().measuringAlgorithm();
    const AlgorithmList algorithms = point.algorithms();
    const wxString units = current >= 0 && current < point.algorithmCount()
                               ? algorithms[static_cast<size_t>(current)].secondText
                               : wxString();
    const Measure measure(value, units, time, accuracy, current, status);
    const bool first = !point.measure().hasValue();
    deliver(point, unit, PointEvent(measureEventType(measure, first), address, measure));

    const StatusBitTexts texts = point.pointParams().statusTexts();
    sink_.publish(topic(unit, "measure"), measurePayload(measure, texts, now), false);
    metrics_.pointValue(config_.name, unit.address, static_cast<double>(value), status,
                        std::chrono::duration<double>(now.time_since_epoch()).count());
    if (live_ != nullptr) {
        live_->pointReading(
            config_.name, unit.address, static_cast<double>(value), utf8(units), status,
            setBitTexts(status, texts),
            std::chrono::duration_cast<milliseconds>(now.time_since_epoch()).count());
    }
    if (!unit.statusKnown || unit.status != status || unit.state != point.state()) {
        unit.statusKnown = true;
        unit.status = status;
        unit.state = point.state();
        sink_.publish(topic(unit, "status"),
                           statusPayload(status, texts, point.state(), point.statusText(), now),
                           true);
    }
    if (config_.paramsCheckPolls > 0 && ++unit.polls % config_.paramsCheckPolls == 0) {
        checkChangedParams(point, unit);
    }
}

void LinePoller::checkChangedParams(Point& point, Unit& unit)
{
    // The unit lists the value variables changed since it started; a list
    // that differs from the one seen before means the record is stale.
    std::array<uint8_t, 256> list{};
    uint32_t count = 0;
    try {
        timed([&] {
            count = line_->readVariable(point.address(), DataType::Byte, 8, list.data(),
                                        static_cast<uint32_t>(list.size()));
        });
    } catch (const Exception& failure) {
        if (failure.code() >= NoAnswer) {
            throw;  // a link failure counts against the point
        }
        return;  // a unit without the list
    }
    std::vector<uint8_t> changed(list.begin(), list.begin() + count);
    const bool differs = unit.haveChangeList && changed != unit.changeList;
    unit.haveChangeList = true;
    unit.changeList = changed;
    if (differs && !changed.empty()) {
        logLine(Level::Info, "line " + config_.name + ": " + unit.address +
                                 " reports changed parameters; reading them again");
        readParams(point, unit);
    }
}

void LinePoller::publishParams(Point& point, Unit& unit)
{
    const auto now = Clock::now();
    const PointParams params = point.pointParams();
    const AlgorithmList algorithms = point.algorithms();
    sink_.publish(topic(unit, "params"), paramsPayload(unit.name, params, algorithms, now), true);
    if (!unit.algorithmsRead) {
        return;  // the units are not known yet: no document without them
    }
    const int32_t current = params.measuringAlgorithm();
    const std::string units = current >= 0 && current < static_cast<int32_t>(algorithms.size())
                                  ? utf8(algorithms[static_cast<size_t>(current)].secondText)
                                  : std::string();
    publishDiscovery(unit, unit.configuredUnits.empty() ? units : unit.configuredUnits);
}

void LinePoller::publishDiscovery(Unit& unit, const std::string& units)
{
    if (!mqtt_.discovery ||
        (unit.discoveryPublished && units == unit.units && unit.name == unit.discoveryName)) {
        return;
    }
    for (const DiscoveryTopics& d :
         discoveryPayloads(mqtt_.discoveryPrefix, mqtt_.topicPrefix, mqtt_.clientId, config_.name,
                           unit.address, unit.name, units)) {
        sink_.publish(d.configTopic, d.payload, true);
    }
    unit.discoveryPublished = true;
    unit.discoveryName = unit.name;
    unit.units = units;
}

void LinePoller::deliver(Point& point, Unit& unit, PointEvent event)
{
    const int32_t before = point.state();
    const bool reported = point.handleEvent(event);
    const int32_t after = point.state();
    metrics_.pointState(config_.name, unit.address, after);
    if (live_ != nullptr) {
        live_->pointState(config_.name, unit.address, after, utf8(point.statusText()));
    }
    const auto now = Clock::now();
    if (reported && !isMeasureEvent(event.type()) &&
        (!isAlarmEvent(event.type()) || before != after)) {
        sink_.publish(topic(unit, "event"),
                           eventPayload(event, after, point.statusText(), now), false);
    }
    std::string availability = unit.availability;
    if (point.isFailed()) {
        availability = "offline";
    } else if (!isFailureEvent(event.type()) && event.type() != PluggedEvent) {
        // Plugged comes from no exchange: only an answer shows the unit is there.
        availability = "online";
    }
    // Taken at the end of the turn, so that a turn that fails after an
    // answer does not flap the retained topic.
    unit.turnAvailability = availability;
}

void LinePoller::setAvailability(Unit& unit, const std::string& availability)
{
    if (availability == unit.availability) {
        return;
    }
    const bool first = unit.availability.empty();
    unit.availability = availability;
    {
        std::lock_guard<std::mutex> hold(knownMutex_);
        known_[unit.address] = availability;
    }
    sink_.publish(topic(unit, "availability"), availability, true);
    metrics_.pointAvailable(config_.name, unit.address, availability == "online");
    if (live_ != nullptr) {
        live_->pointAvailable(config_.name, unit.address, availability == "online");
    }
    if (!first) {
        logLine(Level::Info, "line " + config_.name + ": " + unit.address + " " + availability);
    }
}

}  // namespace varno_gateway
