// A line's poller against the unit simulator on a pseudo-terminal, its
// messages caught by a recording sink instead of a broker: faults inside a
// line, a device that is missing, stops in the middle of a scan, and
// reloads that change only part of the configuration.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "gateway/config.h"
#include "gateway/gateway.h"
#include "gateway/linepoller.h"
#include "gateway/metrics.h"
#include "gateway/sink.h"
#include "support/simline.h"

using namespace varno_gateway;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

namespace {

const char* const Units =
    "[boiler]\naddress = 1.2.3\nstatus = 0x0001\nmeasure = 12.5\ntime = 30\naccuracy = 7\n"
    "text27 = Boiler room\nalgorithm = 0\nalgo0.text1 = Methane\nalgo0.text2 = %LEL\n"
    "algo0.value = 12.5\n"
    "[store]\naddress = 1.2.4\nstatus = 0x0001\nmeasure = 63.2\ntime = 30\naccuracy = 5\n"
    "text27 = Store\n";

struct Message {
    std::string topic;
    std::string payload;
    bool retain = false;
};

class RecordingSink : public MessageSink {
public:
    void publish(const std::string& topic, const std::string& payload, bool retain) override
    {
        add({topic, payload, retain});
    }
    void clearRetained(const std::string& topic) override { add({topic, std::string(), true}); }

    // Waits until a message on the topic whose payload holds `part` has come.
    bool waitFor(const std::string& topic, const std::string& part, int timeoutMs = 10000)
    {
        std::unique_lock<std::mutex> hold(mutex_);
        return wake_.wait_for(hold, milliseconds(timeoutMs), [&] {
            for (const Message& m : messages_) {
                if (m.topic == topic && m.payload.find(part) != std::string::npos) {
                    return true;
                }
            }
            return false;
        });
    }
    std::vector<Message> on(const std::string& topic) const
    {
        std::lock_guard<std::mutex> hold(mutex_);
        std::vector<Message> found;
        for (const Message& m : messages_) {
            if (m.topic == topic) {
                found.push_back(m);
            }
        }
        return found;
    }
    std::vector<Message> all() const
    {
        std::lock_guard<std::mutex> hold(mutex_);
        return messages_;
    }

private:
    void add(Message m)
    {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            messages_.push_back(std::move(m));
        }
        wake_.notify_all();
    }
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<Message> messages_;
};

LineConfig lineOn(const std::string& device, std::vector<UnitConfig> units)
{
    LineConfig line;
    line.name = "l";
    line.device = device;
    line.units = std::move(units);
    line.pollIntervalMs = 100;
    return line;
}

UnitConfig unit(mirel_varno::UnitAddress address, const std::string& name)
{
    UnitConfig u;
    u.address = address;
    u.name = name;
    return u;
}

bool has(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// Waits until the metrics text holds `part`.
bool metricsShow(const Metrics& metrics, const std::string& part, int timeoutMs = 10000)
{
    const auto until = steady_clock::now() + milliseconds(timeoutMs);
    while (!has(metrics.render(), part)) {
        if (steady_clock::now() > until) {
            return false;
        }
        std::this_thread::sleep_for(milliseconds(20));
    }
    return true;
}

// A line that scans, on the simulator with the two units.
struct ScanningLine {
    varno_test::SimLine sim{Units, false};
    RecordingSink sink;
    Metrics metrics;
    MqttConfig mqtt;
    LineConfig line = lineOn(sim.device(), {});
    ScanningLine() { line.scan = true; }
};

double secondsToStop(LinePoller& poller)
{
    const auto begin = steady_clock::now();
    poller.stop();
    return std::chrono::duration<double>(steady_clock::now() - begin).count();
}

}  // namespace

// A unit name that is not UTF-8 makes every payload of that unit raise
// (the JSON writer refuses it). The unit is marked failed, its neighbour
// is served on, and the stop does not hang on a claim left behind.
TEST(GatewayLinePoller, AFaultInOneUnitLeavesTheLineServingTheOthers)
{
    varno_test::SimLine sim(Units, false);
    ASSERT_TRUE(sim.started()) << sim.startError();
    RecordingSink sink;
    Metrics metrics;
    MqttConfig mqtt;
    LinePoller poller(lineOn(sim.device(), {unit({1, 2, 3}, "K\xe4lte"), unit({1, 2, 4}, "Store")}),
                      mqtt, sink, metrics);
    poller.start();
    ASSERT_TRUE(sink.waitFor("varno/l/1.2.4/measure", "\"value\":63.2"));
    // Served again in a later round: the line did not end after the fault.
    const size_t first = sink.on("varno/l/1.2.4/measure").size();
    ASSERT_TRUE(metricsShow(metrics, "varno_point_state{line=\"l\",address=\"1.2.3\"} 37"))
        << metrics.render();
    const auto until = steady_clock::now() + milliseconds(10000);
    while (sink.on("varno/l/1.2.4/measure").size() < first + 3 && steady_clock::now() < until) {
        std::this_thread::sleep_for(milliseconds(20));
    }
    EXPECT_GE(sink.on("varno/l/1.2.4/measure").size(), first + 3);
    EXPECT_TRUE(poller.up());
    EXPECT_TRUE(has(metrics.render(), "varno_line_up{line=\"l\"} 1"));
    // The failing unit shows offline only: no flapping of its retained state.
    for (const Message& m : sink.on("varno/l/1.2.3/availability")) {
        EXPECT_EQ(m.payload, "offline");
    }
    EXPECT_TRUE(sink.on("varno/l/1.2.3/measure").empty());
    EXPECT_LT(secondsToStop(poller), 2.0);
}

// A line whose work raises (here: the protocol object cannot be made) is
// reported down, on MQTT and in the metrics, and started again.
TEST(GatewayLinePoller, AFailedLineIsReportedAndStartedAgain)
{
    varno_test::SimLine sim(Units, false);
    ASSERT_TRUE(sim.started()) << sim.startError();
    RecordingSink sink;
    Metrics metrics;
    MqttConfig mqtt;
    int calls = 0;
    LineFactory failingOnce = [&calls](const LineConfig& config) {
        if (++calls == 1) {
            throw std::runtime_error("adapter driver fault");
        }
        return openLine(config);
    };
    LinePoller poller(lineOn(sim.device(), {unit({1, 2, 4}, "Store")}), mqtt, sink, metrics,
                      failingOnce);
    poller.start();
    ASSERT_TRUE(sink.waitFor("varno/l/event", "adapter driver fault"));
    const std::string event = sink.on("varno/l/event").at(0).payload;
    EXPECT_TRUE(has(event, "\"type\":\"line_down\"")) << event;
    EXPECT_TRUE(has(event, "\"restart_in_s\":1")) << event;
    EXPECT_FALSE(sink.on("varno/l/event").at(0).retain);
    EXPECT_TRUE(has(metrics.render(), "varno_line_up{line=\"l\"} 0")) << metrics.render();
    ASSERT_TRUE(sink.waitFor("varno/l/1.2.4/measure", "\"value\":63.2"));
    EXPECT_TRUE(metricsShow(metrics, "varno_line_up{line=\"l\"} 1")) << metrics.render();
    EXPECT_TRUE(poller.up());
    EXPECT_EQ(calls, 2);
    EXPECT_LT(secondsToStop(poller), 2.0);
}

// Listed units exist from the start: offline (retained) and in the
// metrics with varno_point_up 0, although the device never opens.
TEST(GatewayLinePoller, UnitsOfAMissingDeviceAreOfflineFromTheStart)
{
    RecordingSink sink;
    Metrics metrics;
    MqttConfig mqtt;
    LineConfig line = lineOn("/nonexistent/varno-line", {unit({1, 2, 3}, "Boiler")});
    line.units[0].measureUnits = "ppm";
    LinePoller poller(line, mqtt, sink, metrics);
    poller.start();
    ASSERT_TRUE(metricsShow(metrics, "varno_line_open{line=\"l\"} 0"));
    const std::vector<Message> availability = sink.on("varno/l/1.2.3/availability");
    ASSERT_EQ(availability.size(), 1u);
    EXPECT_EQ(availability[0].payload, "offline");
    EXPECT_TRUE(availability[0].retain);
    const std::string text = metrics.render();
    EXPECT_TRUE(has(text, "varno_point_up{line=\"l\",address=\"1.2.3\"} 0\n")) << text;
    EXPECT_TRUE(has(text, "varno_point_info{line=\"l\",address=\"1.2.3\",name=\"Boiler\"} 1\n"));
    // Its units come from the configuration: Home Assistant gets the
    // unit, unavailable, before it ever answers.
    const std::vector<Message> sensor =
        sink.on("homeassistant/sensor/varno-gateway/varno_l_1_2_3/config");
    ASSERT_EQ(sensor.size(), 1u);
    EXPECT_TRUE(has(sensor[0].payload, "\"unit_of_measurement\":\"ppm\"")) << sensor[0].payload;
    EXPECT_EQ(sink.on("homeassistant/binary_sensor/varno-gateway/varno_l_1_2_3_alarm/config").size(),
              1u);
    EXPECT_TRUE(poller.up());
    EXPECT_LT(secondsToStop(poller), 1.0);
}

// Without units in the configuration, the documents wait for the unit's
// algorithms, so the first one already has its unit of measurement.
TEST(GatewayLinePoller, DiscoveryIsCompleteFromTheFirstDocument)
{
    varno_test::SimLine sim(Units, false);
    ASSERT_TRUE(sim.started()) << sim.startError();
    RecordingSink sink;
    Metrics metrics;
    MqttConfig mqtt;
    LinePoller poller(lineOn(sim.device(), {unit({1, 2, 3}, "")}), mqtt, sink, metrics);
    poller.start();
    ASSERT_TRUE(sink.waitFor("varno/l/1.2.3/measure", "\"value\":12.5"));
    ASSERT_TRUE(sink.waitFor("varno/l/1.2.3/status", "\"alarm\":false"));
    poller.stop();
    const std::vector<Message> sensor =
        sink.on("homeassistant/sensor/varno-gateway/varno_l_1_2_3/config");
    ASSERT_EQ(sensor.size(), 1u);
    EXPECT_TRUE(has(sensor[0].payload, "\"unit_of_measurement\":\"%LEL\"")) << sensor[0].payload;
    // Named by the unit's own text, which the document waited for as well.
    EXPECT_TRUE(has(sensor[0].payload, "\"name\":\"Boiler room\"")) << sensor[0].payload;
}

// A scan holds the line for 9 s; a stop ends it at once through the port's
// stop descriptor. The scan is no exchange for the time histogram.
TEST(GatewayLinePoller, AStopEndsAScanAtOnce)
{
    ScanningLine s;
    ASSERT_TRUE(s.sim.started()) << s.sim.startError();
    LinePoller poller(s.line, s.mqtt, s.sink, s.metrics);
    poller.start();
    ASSERT_TRUE(metricsShow(s.metrics, "varno_line_open{line=\"l\"} 1"));
    std::this_thread::sleep_for(milliseconds(500));  // well inside the scan
    // Generous for a loaded machine; the old stop took the rest of the 9 s.
    EXPECT_LT(secondsToStop(poller), 2.0);
    const std::string text = s.metrics.render();
    EXPECT_TRUE(has(text, "varno_line_exchange_duration_seconds_count{line=\"l\"} 0\n")) << text;
    EXPECT_TRUE(has(text, "varno_line_scans_total{line=\"l\"} 0\n")) << text;
}

// A line restarted by a reload hands over the units its scan had found as
// online; the new poller's scan finds 1.2.3 and 1.2.4 again, but not 1.2.9,
// whose retained "online" must not outlive it.
TEST(GatewayLinePoller, AUnitTheScanNoLongerFindsGoesOffline)
{
    ScanningLine s;
    ASSERT_TRUE(s.sim.started()) << s.sim.startError();
    LinePoller poller(s.line, s.mqtt, s.sink, s.metrics, openLine,
                      {{"1.2.3", "online"}, {"1.2.9", "online"}});
    poller.start();
    // The scan listens for 9 s before it is done.
    ASSERT_TRUE(s.sink.waitFor("varno/l/1.2.9/availability", "offline", 30000));
    const std::vector<Message> gone = s.sink.on("varno/l/1.2.9/availability");
    ASSERT_EQ(gone.size(), 1u);
    EXPECT_TRUE(gone[0].retain);
    EXPECT_EQ(poller.units().at("1.2.9"), "offline");
    // A unit found again keeps what it had, and the new one is served.
    EXPECT_EQ(poller.units().at("1.2.3"), "online");
    EXPECT_TRUE(s.sink.waitFor("varno/l/1.2.4/availability", "online"));
    for (const Message& m : s.sink.on("varno/l/1.2.3/availability")) {
        EXPECT_EQ(m.payload, "online");
    }
    poller.stop();
}

// A reload restarts only the line whose settings changed, and does so
// within a second although that line is inside a scan.
TEST(GatewayReload, RestartsOnlyTheChangedLineEvenDuringAScan)
{
    varno_test::SimLine simA(Units, false);
    varno_test::SimLine simB(Units, false);
    ASSERT_TRUE(simA.started()) << simA.startError();
    ASSERT_TRUE(simB.started()) << simB.startError();
    GatewayConfig config;
    config.http.enabled = false;
    config.mqtt.host = "127.0.0.1";
    config.mqtt.port = 1;  // no broker: the lines do not need one
    config.lines.push_back(lineOn(simA.device(), {unit({1, 2, 3}, "Boiler")}));
    config.lines[0].name = "a";
    config.lines.push_back(lineOn(simB.device(), {}));
    config.lines[1].name = "b";
    config.lines[1].scan = true;

    std::mutex mutex;
    std::map<std::string, int> opened;
    auto counting = [&](const LineConfig& line) {
        {
            std::lock_guard<std::mutex> hold(mutex);
            ++opened[line.name];
        }
        return openLine(line);
    };
    auto opens = [&](const std::string& name) {
        std::lock_guard<std::mutex> hold(mutex);
        return opened[name];
    };
    Metrics metrics;
    Gateway gateway(config, metrics, counting);
    std::string error;
    ASSERT_TRUE(gateway.start(error)) << error;
    ASSERT_TRUE(metricsShow(metrics, "varno_line_open{line=\"b\"} 1"));
    ASSERT_TRUE(metricsShow(metrics, "varno_point_up{line=\"a\",address=\"1.2.3\"} 1"));
    std::this_thread::sleep_for(milliseconds(300));  // b is scanning now

    GatewayConfig next = config;
    next.lines[1].pollIntervalMs = 200;
    const auto begin = steady_clock::now();
    ASSERT_TRUE(gateway.reload(next, error)) << error;
    const double seconds = std::chrono::duration<double>(steady_clock::now() - begin).count();
    EXPECT_LT(seconds, 2.0);
    ASSERT_TRUE(metricsShow(metrics, "varno_line_open{line=\"b\"} 1"));
    EXPECT_EQ(opens("a"), 1);
    EXPECT_EQ(opens("b"), 2);
    EXPECT_TRUE(gateway.downLines().empty());
    // Line a went on as it was: its point kept its state and metrics.
    EXPECT_TRUE(has(metrics.render(), "varno_point_up{line=\"a\",address=\"1.2.3\"} 1"))
        << metrics.render();
    gateway.stop();
}
