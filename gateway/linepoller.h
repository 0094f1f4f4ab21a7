#ifndef VARNO_GATEWAY_LINEPOLLER_H
#define VARNO_GATEWAY_LINEPOLLER_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gateway/config.h"
#include "gateway/livestate.h"
#include "gateway/metrics.h"
#include "gateway/sink.h"
#include "gateway/stopflag.h"
#include "monitor/point.h"
#include "monitor/pointlist.h"
#include "protocol/serialportvarnoprotocol.h"

namespace varno_gateway {

// Makes the protocol object of a line: opened when the device is there,
// closed (isOpen() false) when it is not. It may raise; the line then
// counts as failed and is started again later.
using LineFactory =
    std::function<std::unique_ptr<mirel_varno::SerialPortVarnoProtocol>(const LineConfig&)>;
// The device of the configuration at its baud rate.
std::unique_ptr<mirel_varno::SerialPortVarnoProtocol> openLine(const LineConfig& config);

// The retained topics the gateway keeps for a unit: what has to be emptied
// on the broker when the unit goes away.
std::vector<std::string> unitRetainedTopics(const MqttConfig& mqtt, const std::string& line,
                                            const std::string& address);

// One serial line served by a thread of its own (the protocol is
// synchronous). Every listed unit is a point from the start, offline until
// it answers; the thread opens the device (again and again with back-off
// while it cannot), adds the units a scan finds, and every poll interval
// walks each point through its next request: its parameters and
// algorithms once (and again when it fails or reports changed parameters),
// then its measure and status. Every outcome becomes a PointEvent fed to
// the point, and the results go to the sink and the metrics.
//
// The line is supervised: whatever a unit's turn raises marks that unit
// failed (logged with the line and the unit) and the others are served;
// whatever ends the line's work is logged, reported (varno_line_up 0, an
// event on LINE/event) and the work starts again after a back-off. A stop
// ends every wait at once, the port's included, a scan too.
class LinePoller {
public:
    // `known`: the availability each unit last had, from the poller this
    // one replaces (a reload), so that a restart does not show them offline.
    LinePoller(const LineConfig& config, const MqttConfig& mqtt, MessageSink& sink,
               Metrics& metrics, LineFactory factory = openLine,
               const std::map<std::string, std::string>& known = {});
    ~LinePoller();
    LinePoller(const LinePoller&) = delete;
    LinePoller& operator=(const LinePoller&) = delete;

    // The line's state goes to `live` too (the status page); set before start().
    void feed(LiveState* live) { live_ = live; }
    void start();
    // Asks the thread to end; it does so within one exchange's wake-up.
    void requestStop() { stop_.raise(); }
    // Stops and waits for the thread.
    void stop();
    const LineConfig& config() const { return config_; }
    // False while the line's work has failed and waits to start again.
    bool up() const { return up_; }
    // The addresses of the units it serves, listed and found ones, each
    // with its availability.
    std::map<std::string, std::string> units() const;

private:
    // What the gateway keeps per point beside the point itself.
    struct Unit {
        std::string address;  // "a.b.c"
        std::string name;     // from the configuration, else the unit's text 27
        bool configuredName = false;
        uint32_t polls = 0;
        std::string availability;  // last published; empty: none yet
        bool haveChangeList = false;
        std::vector<uint8_t> changeList;
        bool statusKnown = false;
        uint16_t status = 0;
        int32_t state = 0;
        std::string configuredUnits;  // measure units from the configuration
        bool algorithmsRead = false;
        bool discoveryPublished = false;
        std::string units;          // in the discovery document published
        std::string discoveryName;  // the device name in it
        std::string turnAvailability;  // what this turn has shown so far
        std::string fault;  // what its last turn raised; empty when it went well
    };

    void supervise();
    void run();
    // Opens the device, retrying with back-off; false when stopped first.
    bool openDevice();
    void scanLine();
    // Units handed over as online that are no points of this poller (not
    // found again by its scan) go offline.
    void markUnheard();
    void addPoint(const mirel_varno::UnitAddress& address, const std::string& name,
                  const std::string& measureUnits);
    void servePoint(mirel_varno::Point& point, Unit& unit);
    void unitFailed(mirel_varno::Point& point, Unit& unit, const std::string& reason);
    // One request; false when it failed.
    bool request(mirel_varno::Point& point, Unit& unit, int32_t number);
    void readMeasure(mirel_varno::Point& point, Unit& unit);
    void checkChangedParams(mirel_varno::Point& point, Unit& unit);
    void readParams(mirel_varno::Point& point, Unit& unit);
    void deliver(mirel_varno::Point& point, Unit& unit, mirel_varno::PointEvent event);
    void setAvailability(Unit& unit, const std::string& availability);
    void publishParams(mirel_varno::Point& point, Unit& unit);
    // The unit's discovery documents, when they are new or have changed.
    void publishDiscovery(Unit& unit, const std::string& units);
    void lineFailed(const std::string& reason, uint32_t restartMs);
    // Runs one read of the library, timing it and counting it for the
    // line; its Exception goes on to the caller.
    template <typename Read>
    void timed(Read read);

    std::string topic(const Unit& unit, const char* leaf) const;

    LineConfig config_;
    MqttConfig mqtt_;
    MessageSink& sink_;
    Metrics& metrics_;
    LiveState* live_ = nullptr;
    LineFactory factory_;
    StopFlag stop_;
    std::unique_ptr<mirel_varno::SerialPortVarnoProtocol> line_;
    mirel_varno::PointList points_;
    std::map<std::string, Unit> units_;
    mutable std::mutex knownMutex_;
    std::map<std::string, std::string> known_;
    std::thread thread_;
    std::atomic<bool> up_{true};
    uint32_t restartBackoffMs_ = 1000;
};

}  // namespace varno_gateway

#endif
