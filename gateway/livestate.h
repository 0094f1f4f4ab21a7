#ifndef VARNO_GATEWAY_LIVESTATE_H
#define VARNO_GATEWAY_LIVESTATE_H

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "gateway/config.h"
#include "gateway/payloads.h"
#include "model/pointparam.h"

namespace varno_gateway {

// What the status page shows: every line with its device and state, every
// point with its latest reading, and the broker connection. The line
// threads and the broker's thread write, the HTTP thread reads.
//
// Each change becomes one JSON event handed to the listener (a reading is
// a change: its time moved). The listener runs on the writer's thread with
// the state's lock released, in the order the changes were made.
//
// Thread safety: every member may be called from any thread.
class LiveState {
public:
    using Listener = std::function<void(const std::string& event)>;

    // Lines in the configured order, each with its listed units.
    explicit LiveState(const GatewayConfig& config);

    void setListener(Listener listener);

    // Moves to another configuration (a reload): lines in the new order,
    // gone lines and units dropped, the rest keep what they showed. A unit
    // a scan found stays while its line still scans, unless `before` listed
    // it. The listener gets the whole new state as one event.
    void reconfigure(const GatewayConfig& before, const GatewayConfig& next, int64_t nowMs);

    void lineOpen(const std::string& line, bool open);
    // Adds the point when it is new (a unit a scan found).
    void pointInfo(const std::string& line, const std::string& address, const std::string& name);
    // A measure read at `epochMs`; its units text and the texts of the
    // bits set in the status word.
    void pointReading(const std::string& line, const std::string& address, double value,
                      const std::string& units, uint16_t status,
                      const std::vector<std::string>& bits, int64_t epochMs);
    void pointAvailable(const std::string& line, const std::string& address, bool online);
    void pointState(const std::string& line, const std::string& address, int32_t state,
                    const std::string& stateText);
    void brokerConnected(bool connected);

    // The whole state as one document (`/api/points`, and the first event
    // of every stream); `nowMs` is the gateway's clock, so that a page
    // can show the age of a reading whatever its own clock says.
    std::string snapshot(int64_t nowMs) const;

private:
    std::string snapshotLocked(int64_t nowMs) const;
    struct PointView {
        std::string address;
        std::string name;
        bool hasValue = false;
        double value = 0;
        std::string units;
        uint16_t status = 0;
        std::vector<std::string> bits;
        std::string availability;  // "online", "offline"; empty: not known yet
        int32_t state = 0;
        std::string stateText;
        int64_t readingMs = 0;  // 0: no reading yet
    };
    struct LineView {
        std::string name;
        std::string device;
        std::string state = "opening";  // "open", "reconnecting"
        std::vector<PointView> points;  // in the order they were added
    };

    static nlohmann::json pointJson(const PointView& p);
    static std::string pointEvent(const std::string& line, const PointView& p);
    LineView* findLine(const std::string& line);
    // The point, added when new; null when the line is unknown.
    PointView* point(const std::string& line, const std::string& address);
    // Hands the event to the listener outside the state's lock; `lock`
    // is released by the call.
    void notify(std::unique_lock<std::mutex>& lock, std::string event);

    mutable std::mutex mutex_;
    std::vector<LineView> lines_;
    bool brokerConnected_ = false;
    // Serialises the listener, so events leave in the order of the changes.
    std::mutex notifyMutex_;
    Listener listener_;
};


// The JSON events (one line each, whatever the texts hold).
std::string lineEvent(const std::string& line, const std::string& device,
                      const std::string& state);
std::string brokerEvent(bool connected);

// One event-stream message carrying `json` (which must hold no line break).
std::string sseMessage(const std::string& json);

}  // namespace varno_gateway

#endif
