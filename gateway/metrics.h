#ifndef VARNO_GATEWAY_METRICS_H
#define VARNO_GATEWAY_METRICS_H

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>

namespace varno_gateway {

// What the gateway knows and counts, rendered as Prometheus text and as
// the health report. The line threads and the MQTT thread write, the HTTP
// thread reads; one lock guards it all (updates are a few per exchange).
class Metrics {
public:
    using SteadyClock = std::chrono::steady_clock;
    static constexpr std::array<double, 9> Buckets{0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10};
    // How long the broker may be away, or a line closed or down, before
    // the health report calls it a fault: a reconnect or a reopen after a
    // short outage is no fault.
    static constexpr std::chrono::seconds HealthGrace{5};

    void lineOpen(const std::string& line, bool open);
    // False while the line's work is not running (it failed and waits to
    // be started again).
    void lineUp(const std::string& line, bool up);
    // One read of the gateway on the line (a status read, a measure read,
    // a parameter record read...), how long it took and its error code (0
    // when it succeeded).
    void exchange(const std::string& line, double seconds, int32_t error);
    void scan(const std::string& line);

    void pointInfo(const std::string& line, const std::string& address, const std::string& name);
    void pointValue(const std::string& line, const std::string& address, double value,
                    uint16_t status, double timestampS);
    void pointAvailable(const std::string& line, const std::string& address, bool online);
    void pointState(const std::string& line, const std::string& address, int32_t state);

    void mqttConnected(bool connected);
    void mqttPublished();
    void mqttQueue(size_t length);
    // A kept message dropped because the queue was full.
    void mqttDropped();
    // A message the broker would never take (a topic or payload it
    // refuses), dropped.
    void mqttRefused();
    void mqttConnects();

    // The whole exposition, version 0.0.4 of the text format.
    std::string render() const;

    struct Health {
        bool ok = true;
        std::string json;  // one JSON object and a newline
    };
    // The gateway's health at `now`: not ok while the broker has been away,
    // or a line closed or down, for longer than HealthGrace. The JSON names
    // every fault under "problems".
    Health health(SteadyClock::time_point now) const;
    // Forgets every line and point (after a reload); counters of the
    // broker connection stay.
    void clearLines();
    // Forgets one line and its points (a line removed or started anew).
    void forgetLine(const std::string& line);

private:
    struct LineStats {
        bool open = false;
        bool up = true;
        // Since when the line has been closed or down; reset when it is
        // open and up again.
        SteadyClock::time_point faultSince = SteadyClock::now();
        uint64_t exchanges = 0;
        std::map<int32_t, uint64_t> failures;
        std::array<uint64_t, Buckets.size()> buckets{};
        uint64_t count = 0;
        double sum = 0;
        uint64_t scans = 0;
    };
    struct PointStats {
        std::string name;
        bool hasValue = false;
        double value = 0;
        uint16_t status = 0;
        double timestampS = 0;
        int online = -1;  // not known yet
        int32_t state = 1;
    };
    using PointKey = std::pair<std::string, std::string>;

    // Starts the fault's clock when a healthy line becomes closed or down.
    static void noteLineFault(LineStats& s, bool wasHealthy);

    mutable std::mutex mutex_;
    std::map<std::string, LineStats> lines_;
    std::map<PointKey, PointStats> points_;
    bool mqttConnected_ = false;
    SteadyClock::time_point mqttSince_ = SteadyClock::now();
    uint64_t mqttPublished_ = 0;
    uint64_t mqttQueue_ = 0;
    uint64_t mqttDropped_ = 0;
    uint64_t mqttRefused_ = 0;
    uint64_t mqttConnects_ = 0;
};

// A label value with backslash, double quote and newline escaped.
std::string escapeLabel(const std::string& text);

}  // namespace varno_gateway

#endif
