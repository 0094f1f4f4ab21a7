#include "gateway/livestate.h"

#include <cmath>
#include <set>

#include <nlohmann/json.hpp>

#include "model/measurestatus.h"

namespace varno_gateway {

using nlohmann::json;

namespace {

// Texts from units are not always valid UTF-8; a bad byte becomes U+FFFD
// instead of an exception that would lose the whole document.
std::string dump(const json& j)
{
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace

LiveState::LiveState(const GatewayConfig& config)
{
    for (const LineConfig& line : config.lines) {
        LineView view;
        view.name = line.name;
        view.device = line.device;
        for (const UnitConfig& unit : line.units) {
            PointView p;
            p.address = unitAddressText(unit.address);
            p.name = unit.name;
            view.points.push_back(std::move(p));
        }
        lines_.push_back(std::move(view));
    }
}

void LiveState::reconfigure(const GatewayConfig& before, const GatewayConfig& next,
                            int64_t nowMs)
{
    std::unique_lock<std::mutex> lock(mutex_);
    std::vector<LineView> lines;
    for (const LineConfig& line : next.lines) {
        std::set<std::string> listedBefore;
        for (const LineConfig& old : before.lines) {
            if (old.name == line.name) {
                for (const UnitConfig& unit : old.units) {
                    listedBefore.insert(unitAddressText(unit.address));
                }
            }
        }
        LineView view;
        LineView* old = findLine(line.name);
        if (old != nullptr) {
            view.state = old->state;
            if (old->device != line.device) {
                view.state = "opening";
            }
        }
        view.name = line.name;
        view.device = line.device;
        std::set<std::string> listed;
        for (const UnitConfig& unit : line.units) {
            const std::string address = unitAddressText(unit.address);
            listed.insert(address);
            PointView p;
            p.address = address;
            if (old != nullptr) {
                for (const PointView& was : old->points) {
                    if (was.address == address) {
                        p = was;
                    }
                }
            }
            if (!unit.name.empty()) {
                p.name = unit.name;
            }
            view.points.push_back(std::move(p));
        }
        if (old != nullptr && line.scan) {
            for (const PointView& was : old->points) {
                if (listed.count(was.address) == 0 && listedBefore.count(was.address) == 0) {
                    view.points.push_back(was);
                }
            }
        }
        lines.push_back(std::move(view));
    }
    lines_ = std::move(lines);
    notify(lock, snapshotLocked(nowMs));
}

void LiveState::setListener(Listener listener)
{
    std::lock_guard<std::mutex> lock(notifyMutex_);
    listener_ = std::move(listener);
}

LiveState::LineView* LiveState::findLine(const std::string& line)
{
    for (LineView& view : lines_) {
        if (view.name == line) {
            return &view;
        }
    }
    return nullptr;
}

LiveState::PointView* LiveState::point(const std::string& line, const std::string& address)
{
    LineView* view = findLine(line);
    if (view == nullptr) {
        return nullptr;
    }
    for (PointView& p : view->points) {
        if (p.address == address) {
            return &p;
        }
    }
    PointView p;
    p.address = address;
    view->points.push_back(std::move(p));
    return &view->points.back();
}

json LiveState::pointJson(const PointView& p)
{
    json j;
    j["address"] = p.address;
    j["name"] = p.name;
    j["value"] = p.hasValue && std::isfinite(p.value) ? json(p.value) : json(nullptr);
    j["units"] = p.units;
    j["status"] = p.status;
    j["bits"] = p.bits;
    // The unit's own alarm bits, the ones that raise the point's alarm
    // events; other bits (such as "measuring") are no alarm.
    const mirel_varno::MeasureStatus status(p.status);
    j["alarm"] = p.hasValue && (status.thresholdExceeded() || status.prethresholdExceeded() ||
                                status.thresholdReduced());
    j["availability"] = p.availability.empty() ? json(nullptr) : json(p.availability);
    j["state"] = p.state;
    j["state_text"] = p.stateText;
    j["reading_ms"] = p.readingMs > 0 ? json(p.readingMs) : json(nullptr);
    return j;
}

// Every point change sends the whole row: a page that missed one event
// is right again with the next.
std::string LiveState::pointEvent(const std::string& line, const PointView& p)
{
    return dump(json{{"type", "point"}, {"line", line}, {"point", pointJson(p)}});
}

void LiveState::notify(std::unique_lock<std::mutex>& lock, std::string event)
{
    std::lock_guard<std::mutex> order(notifyMutex_);
    lock.unlock();
    if (listener_) {
        listener_(event);
    }
}

void LiveState::lineOpen(const std::string& line, bool open)
{
    std::unique_lock<std::mutex> lock(mutex_);
    LineView* view = findLine(line);
    const char* state = open ? "open" : "reconnecting";
    if (view == nullptr || view->state == state) {
        return;
    }
    view->state = state;
    notify(lock, lineEvent(view->name, view->device, view->state));
}


void LiveState::pointInfo(const std::string& line, const std::string& address,
                          const std::string& name)
{
    std::unique_lock<std::mutex> lock(mutex_);
    PointView* p = point(line, address);
    if (p == nullptr || (p->name == name && !name.empty())) {
        return;
    }
    p->name = name;
    notify(lock, pointEvent(line, *p));
}

void LiveState::pointReading(const std::string& line, const std::string& address, double value,
                             const std::string& units, uint16_t status,
                             const std::vector<std::string>& bits, int64_t epochMs)
{
    std::unique_lock<std::mutex> lock(mutex_);
    PointView* p = point(line, address);
    if (p == nullptr) {
        return;
    }
    p->hasValue = true;
    p->value = value;
    p->units = units;
    p->status = status;
    p->bits = bits;
    p->readingMs = epochMs;
    notify(lock, pointEvent(line, *p));
}

void LiveState::pointAvailable(const std::string& line, const std::string& address, bool online)
{
    std::unique_lock<std::mutex> lock(mutex_);
    PointView* p = point(line, address);
    const char* availability = online ? "online" : "offline";
    if (p == nullptr || p->availability == availability) {
        return;
    }
    p->availability = availability;
    notify(lock, pointEvent(line, *p));
}

void LiveState::pointState(const std::string& line, const std::string& address, int32_t state,
                           const std::string& stateText)
{
    std::unique_lock<std::mutex> lock(mutex_);
    PointView* p = point(line, address);
    if (p == nullptr || (p->state == state && p->stateText == stateText)) {
        return;
    }
    p->state = state;
    p->stateText = stateText;
    notify(lock, pointEvent(line, *p));
}

void LiveState::brokerConnected(bool connected)
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (brokerConnected_ == connected) {
        return;
    }
    brokerConnected_ = connected;
    notify(lock, brokerEvent(connected));
}

std::string LiveState::snapshot(int64_t nowMs) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return snapshotLocked(nowMs);
}

std::string LiveState::snapshotLocked(int64_t nowMs) const
{
    json lines = json::array();
    for (const LineView& view : lines_) {
        json points = json::array();
        for (const PointView& p : view.points) {
            points.push_back(pointJson(p));
        }
        lines.push_back(
            {{"name", view.name}, {"device", view.device}, {"state", view.state},
             {"points", std::move(points)}});
    }
    return dump(json{{"type", "snapshot"},
                     {"now_ms", nowMs},
                     {"broker", brokerConnected_ ? "connected" : "disconnected"},
                     {"lines", std::move(lines)}});
}

std::string lineEvent(const std::string& line, const std::string& device,
                      const std::string& state)
{
    return dump(json{{"type", "line"}, {"line", line}, {"device", device}, {"state", state}});
}

std::string brokerEvent(bool connected)
{
    return dump(json{{"type", "broker"}, {"broker", connected ? "connected" : "disconnected"}});
}

std::string sseMessage(const std::string& json)
{
    return "data: " + json + "\n\n";
}

}  // namespace varno_gateway
