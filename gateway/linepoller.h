#ifndef VARNO_GATEWAY_LINEPOLLER_H
#define VARNO_GATEWAY_LINEPOLLER_H

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "gateway/config.h"
#include "gateway/livestate.h"
#include "gateway/metrics.h"
#include "gateway/publisher.h"
#include "gateway/stopflag.h"
#include "monitor/point.h"
#include "monitor/pointlist.h"
#include "protocol/serialportvarnoprotocol.h"

namespace varno_gateway {

// One serial line served by a thread of its own (the protocol is
// synchronous): it opens the device (again and again with back-off while
// it cannot), takes the listed units and those a scan finds as points, and
// every poll interval walks each point through its next request: its
// parameters and algorithms once (and again when it fails or reports
// changed parameters), then its measure and status. Every outcome becomes
// a PointEvent fed to the point, and the results go to the broker and the
// metrics.
//
// A stop is seen between two reads; a read is bounded by the protocol's
// own time limits, a scan takes 9.2 s.
class LinePoller {
public:
    LinePoller(const LineConfig& config, Publisher& publisher, Metrics& metrics, LiveState& live,
               StopFlag& stop, FinishCount& finished);
    ~LinePoller();
    LinePoller(const LinePoller&) = delete;
    LinePoller& operator=(const LinePoller&) = delete;

    void start();
    // True once the thread has returned (join() is then immediate).
    bool finished() const { return finished_; }
    void join();

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
        std::string units;
        bool discoveryPublished = false;
    };

    void run();
    // Opens the device, retrying with back-off; false when stopped first.
    bool openDevice();
    void scanLine();
    void addPoint(const mirel_varno::UnitAddress& address, const std::string& name);
    void servePoint(mirel_varno::Point& point, Unit& unit);
    // One request; false when it failed.
    bool request(mirel_varno::Point& point, Unit& unit, int32_t number);
    void readMeasure(mirel_varno::Point& point, Unit& unit);
    void checkChangedParams(mirel_varno::Point& point, Unit& unit);
    void readParams(mirel_varno::Point& point, Unit& unit);
    void deliver(mirel_varno::Point& point, Unit& unit, mirel_varno::PointEvent event);
    void publishParams(mirel_varno::Point& point, Unit& unit);
    // Runs one read of the library, timing it and counting it for the
    // line; its Exception goes on to the caller.
    template <typename Read>
    void timed(Read read);

    std::string topic(const Unit& unit, const char* leaf) const;

    LineConfig config_;
    Publisher& publisher_;
    Metrics& metrics_;
    LiveState& live_;
    StopFlag& stop_;
    FinishCount& finishCount_;
    std::unique_ptr<mirel_varno::SerialPortVarnoProtocol> line_;
    mirel_varno::PointList points_;
    std::map<std::string, Unit> units_;
    std::thread thread_;
    std::atomic<bool> finished_{false};
};

}  // namespace varno_gateway

#endif
