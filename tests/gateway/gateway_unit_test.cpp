// The gateway's parts without the network: configuration, metrics text,
// payloads, and the broker queue while no broker answers.

#include <chrono>
#include <cstdlib>
#include <thread>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "gateway/config.h"
#include "gateway/metrics.h"
#include "gateway/payloads.h"
#include "gateway/publisher.h"
#include "model/measure.h"

using namespace varno_gateway;

TEST(GatewayConfig, UnitAddressesParseOnlyInTheirDottedForm)
{
    const struct {
        const char* text;
        bool ok;
        mirel_varno::UnitAddress address;
    } cases[] = {
        {"1.2.3", true, {1, 2, 3}},
        {"255.0.255", true, {255, 0, 255}},
        {"001.002.003", true, {1, 2, 3}},
        {"1.2.256", false, {}},
        {"1.2", false, {}},
        {"1.2.3.4", false, {}},
        {"1..3", false, {}},
        {" 1.2.3", false, {}},
        {"1.2.3 ", false, {}},
        {"0001.2.3", false, {}},
        {"-1.2.3", false, {}},
        {"", false, {}},
    };
    for (const auto& c : cases) {
        mirel_varno::UnitAddress address;
        EXPECT_EQ(parseUnitAddress(c.text, address), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(address, c.address) << c.text;
            EXPECT_EQ(unitAddressText(address), unitAddressText(c.address));
        }
    }
}

TEST(GatewayConfig, DefaultsAndOverrides)
{
    const GatewayConfig config = parseConfig(
        "poll_interval: 2.5\n"
        "mqtt:\n  host: broker.local\n  topic_prefix: site/a\n  discovery: off\n"
        "http:\n  listen: '[::1]:0'\n"
        "lines:\n"
        "  - name: one\n    device: COM3\n    units:\n      - {address: 1.2.3, name: Boiler}\n"
        "  - name: two\n    device: /dev/ttyUSB1\n    scan: true\n    scan_interval: 600\n"
        "    poll_interval: 0.25\n    params_check: 0\n",
        "g.yaml");
    ASSERT_EQ(config.lines.size(), 2u);
    EXPECT_EQ(config.lines[0].pollIntervalMs, 2500u);
    EXPECT_EQ(config.lines[0].units.at(0).name, "Boiler");
    EXPECT_FALSE(config.lines[0].scan);
    EXPECT_EQ(config.lines[0].paramsCheckPolls, 12u);
    EXPECT_EQ(config.lines[1].pollIntervalMs, 250u);
    EXPECT_TRUE(config.lines[1].scan);
    EXPECT_EQ(config.lines[1].scanIntervalS, 600u);
    EXPECT_EQ(config.lines[1].paramsCheckPolls, 0u);
    EXPECT_EQ(config.mqtt.host, "broker.local");
    EXPECT_EQ(config.mqtt.port, 1883);
    EXPECT_EQ(config.mqtt.topicPrefix, "site/a");
    EXPECT_FALSE(config.mqtt.discovery);
    EXPECT_EQ(config.http.address, "::1");
    EXPECT_EQ(config.http.port, 0);
}

TEST(GatewayConfig, MistakesNameLineAndKey)
{
    const struct {
        const char* text;
        const char* message;
    } cases[] = {
        {"", "g.yaml: (top): the file is empty"},
        {"lines:\n  - name: gateway\n    device: x\n    scan: true\n",
         "g.yaml:2: lines[0].name: must be 1 to 64"},
        {"lines:\n  - name: a\n    device: x\n    scan: true\n  - name: a\n    device: y\n"
         "    scan: true\n",
         "g.yaml:5: lines[1].name: \"a\" is used twice"},
        {"lines:\n  - name: a\n    device: x\n    units:\n      - address: 0.0.0\n",
         "g.yaml:5: lines[0].units[0].address: 0.0.0 is the broadcast or the host address"},
        {"lines:\n  - name: a\n    device: x\n    scan: true\n    scan_interval: 10\n",
         "g.yaml:5: lines[0].scan_interval: must be 0 or at least 60 s"},
        {"mqtt:\n  topic_prefix: a/#\nlines:\n  - {name: a, device: x, scan: true}\n",
         "g.yaml:2: mqtt.topic_prefix: must be a topic without"},
        {"mqtt:\n  tls:\n    cert_file: c\n", "g.yaml:3: mqtt.tls.ca_file: is needed"},
        {"http:\n  listen: 9108\nlines:\n  - {name: a, device: x, scan: true}\n",
         "g.yaml:2: http.listen: must be ADDRESS:PORT"},
        {"lines:\n  - {name: a, device: x, scan: maybe}\n",
         "g.yaml:2: lines[0].scan: must be true or false, not \"maybe\""},
        {"lines: 3\n", "g.yaml:1: lines: must be a list of at least one line"},
        {"linez: []\n", "g.yaml:1: linez: unknown key"},
        {"http:\n  listen: \"127.0.0.1:0\"\n  listen: \"off\"\nlines:\n  - {name: a, device: x, scan: true}\n",
         "g.yaml:3: http.listen: given twice (first on line 2)"},
        {"lines: []\nlines: []\n", "g.yaml:2: lines: given twice (first on line 1)"},
        {"lines:\n  - {name: a, device: x,\n     units: [{address: 1.2.3, address: 1.2.4}]}\n",
         "g.yaml:3: lines[0].units[0].address: given twice (first on line 3)"},
        {"? [a, b]\n: 1\nlines: []\n", "g.yaml:1: (top): a key must be a single value"},
        {"http:\n  listen: example.org:9108\nlines:\n  - {name: a, device: x, scan: true}\n",
         "g.yaml:2: http.listen: \"example.org\" is not an IP address"},
        {"mqtt:\n  username: u\n  password_file: /dev/null\nlines:\n  - {name: a, device: x, scan: true}\n",
         "g.yaml:3: mqtt.password_file: \"/dev/null\" is empty"},
        {"mqtt:\n  username: u\n  password_env: VARNO_TEST_EMPTY_PASSWORD\nlines:\n  - {name: a, device: x, scan: true}\n",
         "g.yaml:3: mqtt.password_env: the environment variable VARNO_TEST_EMPTY_PASSWORD is empty"},
        {"mqtt:\n  tls:\n    ca_file: /nonexistent/ca.pem\nlines:\n  - {name: a, device: x, scan: true}\n",
         "g.yaml:3: mqtt.tls.ca_file: cannot read \"/nonexistent/ca.pem\""},
        {"lines:\n  - name: a\n    device: x\n    units:\n      - {address: 1.2.3, name: Caf\xe9}\n",
         "g.yaml:5: lines[0].units[0].name: must be UTF-8 text without control characters"},
        {"lines:\n  - name: caf\xc3\xa9\n    device: x\n    scan: true\n",
         "g.yaml:2: lines[0].name: must be 1 to 64"},
        {"mqtt:\n  client_id: \"a\\tb\"\nlines:\n  - {name: a, device: x, scan: true}\n",
         "g.yaml:2: mqtt.client_id: must be 1 to 64"},
        {"mqtt:\n  topic_prefix: \"site\\x01\"\nlines:\n  - {name: a, device: x, scan: true}\n",
         "g.yaml:2: mqtt.topic_prefix: must be a topic without"},
        {"mqtt:\n  username: \"u\\x7f\"\nlines:\n  - {name: a, device: x, scan: true}\n",
         "g.yaml:2: mqtt.username: must be UTF-8 text without control characters"},
    };
    ::setenv("VARNO_TEST_EMPTY_PASSWORD", "", 1);
    for (const auto& c : cases) {
        try {
            parseConfig(c.text, "g.yaml");
            ADD_FAILURE() << "accepted: " << c.text;
        } catch (const ConfigError& e) {
            EXPECT_EQ(std::string(e.what()).rfind(c.message, 0), 0u)
                << "got: " << e.what() << "\nwanted: " << c.message;
        }
    }
}

TEST(GatewayConfig, UnitNamesMustBeCleanUtf8)
{
    const struct {
        const char* name;
        bool ok;
    } cases[] = {
        {"Boiler room 2", true},
        {"Kotol \xc5\x88 \xe2\x82\xac \xf0\x9f\x94\xa5", true},  // 2, 3 and 4 bytes
        {"Caf\xe9", false},                 // Latin-1
        {"\xc0\xaf", false},                // an overlong '/'
        {"\xed\xa0\x80", false},            // a surrogate
        {"\xf4\x90\x80\x80", false},        // past U+10FFFF
        {"\xe2\x82", false},                // cut short
        {"tab\there", false},
        {"nel\xc2\x85here", false},          // a C1 control
        {"del\x7f", false},
    };
    for (const auto& c : cases) {
        const std::string text = "lines:\n  - name: a\n    device: x\n    units:\n"
                                 "      - address: 1.2.3\n        name: \"" +
                                 std::string(c.name) + "\"\n";
        bool accepted = true;
        try {
            const GatewayConfig config = parseConfig(text, "g.yaml");
            EXPECT_EQ(config.lines.at(0).units.at(0).name, c.name);
        } catch (const ConfigError& e) {
            accepted = false;
            EXPECT_EQ(std::string(e.what()).rfind("g.yaml:6: lines[0].units[0].name: ", 0), 0u)
                << e.what();
        }
        EXPECT_EQ(accepted, c.ok) << c.name;
    }
    // The one host name that is taken, and taken as an address at once.
    const GatewayConfig local = parseConfig(
        "http: {listen: \"localhost:9108\"}\nlines:\n  - {name: a, device: x, scan: true}\n",
        "g.yaml");
    EXPECT_EQ(local.http.address, "127.0.0.1");
    EXPECT_EQ(local.http.port, 9108);
}

TEST(GatewayMetrics, LabelValuesAreEscapedAndHistogramsAreCumulative)
{
    Metrics metrics;
    metrics.pointInfo("l", "1.2.3", "a \"quoted\" \\ name\nnext");
    metrics.exchange("l", 0.03, 0);
    metrics.exchange("l", 0.2, 3840);
    metrics.exchange("l", 20.0, 3840);
    const std::string text = metrics.render();
    EXPECT_NE(text.find("name=\"a \\\"quoted\\\" \\\\ name\\nnext\"} 1\n"), std::string::npos) << text;
    EXPECT_NE(text.find("varno_line_exchange_duration_seconds_bucket{line=\"l\",le=\"0.025\"} 0\n"),
              std::string::npos);
    EXPECT_NE(text.find("varno_line_exchange_duration_seconds_bucket{line=\"l\",le=\"0.05\"} 1\n"),
              std::string::npos);
    EXPECT_NE(text.find("varno_line_exchange_duration_seconds_bucket{line=\"l\",le=\"10\"} 2\n"),
              std::string::npos);
    EXPECT_NE(text.find("varno_line_exchange_duration_seconds_bucket{line=\"l\",le=\"+Inf\"} 3\n"),
              std::string::npos);
    EXPECT_NE(text.find("varno_line_failures_total{line=\"l\",code=\"3840\"} 2\n"), std::string::npos);
    // A point without a value yet has no value sample.
    EXPECT_EQ(text.find("varno_point_value{"), std::string::npos);
}

TEST(GatewayMetrics, ValueSampleOnlyWhileTheUnitAnswersWithAValue)
{
    const double noValue = static_cast<double>(mirel_varno::NO_VALUE);
    const struct {
        const char* what;
        double value;
        int online;  // -1: never reported
        bool valueSample;
        bool statusSample;
    } cases[] = {
        {"a value, availability not known yet", 12.5, -1, true, true},
        {"a value, online", 12.5, 1, true, true},
        {"a value, offline", 12.5, 0, false, false},
        {"the no-value marker, online", noValue, 1, false, true},
        {"the no-value marker, offline", noValue, 0, false, false},
        {"a value close to the marker", -666.66, 1, true, true},
    };
    for (const auto& c : cases) {
        Metrics metrics;
        metrics.pointValue("l", "1.2.3", c.value, 0x21, 1796675643.5);
        if (c.online >= 0) {
            metrics.pointAvailable("l", "1.2.3", c.online == 1);
        }
        const std::string text = metrics.render();
        EXPECT_EQ(text.find("varno_point_value{") != std::string::npos, c.valueSample) << c.what;
        EXPECT_EQ(text.find("varno_point_status{") != std::string::npos, c.statusSample) << c.what;
        EXPECT_NE(text.find("varno_point_measure_timestamp_seconds{line=\"l\",address=\"1.2.3\"} "
                            "1796675643.5\n"),
                  std::string::npos)
            << c.what;
        EXPECT_EQ(text.find("varno_point_up{") != std::string::npos, c.online >= 0) << c.what;
    }
}

TEST(GatewayMetrics, HealthNamesFaultsThatOutlastTheGrace)
{
    using std::chrono::seconds;
    const Metrics::SteadyClock::duration within = Metrics::HealthGrace - seconds(1);
    const Metrics::SteadyClock::duration after = Metrics::HealthGrace + seconds(2);
    const struct {
        const char* what;
        bool connected;
        bool open;
        bool up;
        Metrics::SteadyClock::duration later;
        bool ok;
        const char* problem;  // the first one named
    } cases[] = {
        {"all well", true, true, true, after, true, nullptr},
        {"broker away within the grace", false, true, true, within, true, nullptr},
        {"broker away past the grace", false, true, true, after, false, "broker away for "},
        {"line closed within the grace", true, false, true, within, true, nullptr},
        {"line closed past the grace", true, false, true, after, false, "line l1 closed for "},
        {"line down past the grace", true, true, false, after, false, "line l1 down for "},
    };
    for (const auto& c : cases) {
        Metrics metrics;
        metrics.mqttConnected(true);
        metrics.lineOpen("l1", true);
        metrics.lineOpen("l2", true);
        metrics.mqttConnected(c.connected);
        metrics.lineOpen("l1", c.open);
        metrics.lineUp("l1", c.up);
        const Metrics::Health health = metrics.health(Metrics::SteadyClock::now() + c.later);
        EXPECT_EQ(health.ok, c.ok) << c.what << ": " << health.json;
        const nlohmann::json j = nlohmann::json::parse(health.json);
        EXPECT_EQ(j["status"], c.ok ? "ok" : "fault") << c.what;
        EXPECT_EQ(j["mqtt"]["connected"], c.connected) << c.what;
        EXPECT_EQ(j["lines"]["l1"]["open"], c.open) << c.what;
        EXPECT_EQ(j["lines"]["l1"]["up"], c.up) << c.what;
        EXPECT_EQ(j["lines"]["l2"]["open"], true) << c.what;
        ASSERT_EQ(j["problems"].size(), c.problem == nullptr ? 0u : 1u) << c.what;
        if (c.problem != nullptr) {
            EXPECT_EQ(j["problems"][0].get<std::string>().rfind(c.problem, 0), 0u)
                << c.what << ": " << health.json;
        }
    }
    // A line that comes back clears its fault, and a new fault starts its
    // own grace instead of inheriting the old one's time.
    Metrics metrics;
    metrics.mqttConnected(true);
    metrics.lineOpen("l1", false);
    EXPECT_FALSE(metrics.health(Metrics::SteadyClock::now() + after).ok);
    metrics.lineOpen("l1", true);
    EXPECT_TRUE(metrics.health(Metrics::SteadyClock::now() + after).ok);
    metrics.lineUp("l1", false);
    EXPECT_TRUE(metrics.health(Metrics::SteadyClock::now() + within).ok);
    const std::string text = metrics.render();
    EXPECT_NE(text.find("varno_line_up{line=\"l1\"} 0\n"), std::string::npos) << text;
}

TEST(GatewayPayloads, MeasureCarriesValueStatusBitsAndTime)
{
    mirel_varno::StatusBitTexts texts({{1, wxString::FromUTF8("Measuring")},
                                       {6, wxString::FromUTF8("Alarm \xc2\xb0")}});
    // Bit 8 has no text of the unit's own: the built-in one; bit 12 has
    // neither.
    const mirel_varno::Measure measure(0.0005f, "V", 30, 7, 0, 0x1121);
    const auto t = Clock::time_point(std::chrono::milliseconds(1796675643123LL));
    const nlohmann::json j = nlohmann::json::parse(measurePayload(measure, texts, t));
    EXPECT_FLOAT_EQ(j["value"].get<float>(), 0.0005f);
    EXPECT_EQ(j["prefix"], "m");
    EXPECT_EQ(j["units"], "V");
    EXPECT_EQ(j["accuracy"], 7);
    EXPECT_EQ(j["measuring_time"], 30);
    EXPECT_EQ(j["status"], 0x1121);
    EXPECT_EQ(j["status_bits"], nlohmann::json({"Measuring", "Alarm \xc2\xb0",
                                                "Block sensitivity is exceeded", "bit 12"}));
    EXPECT_EQ(j["timestamp"], "2026-12-07T20:34:03.123Z");

    const nlohmann::json none =
        nlohmann::json::parse(measurePayload(mirel_varno::Measure(), texts, t));
    EXPECT_TRUE(none["value"].is_null());
}

TEST(GatewayPublisher, KeepsTheNewestMessagesWhileNoBrokerAnswers)
{
    MqttConfig config;
    config.host = "127.0.0.1";
    config.port = 1;  // nothing listens there
    config.queueLimit = 3;
    Metrics metrics;
    Publisher publisher(config, metrics);
    std::string error;
    ASSERT_TRUE(publisher.start(error)) << error;
    for (int i = 0; i < 5; ++i) {
        publisher.publish("t/" + std::to_string(i), "x", false);
    }
    publisher.publish("t/retained", "kept apart", true);
    EXPECT_EQ(publisher.queueLength(), 3u);
    const std::string text = metrics.render();
    EXPECT_NE(text.find("varno_mqtt_queue_dropped_total 2\n"), std::string::npos) << text;
    EXPECT_NE(text.find("varno_mqtt_refused_total 0\n"), std::string::npos) << text;
    EXPECT_NE(text.find("varno_mqtt_queue_length 3\n"), std::string::npos) << text;
    EXPECT_NE(text.find("varno_mqtt_connected 0\n"), std::string::npos) << text;
    publisher.stop();
}

TEST(GatewayPublisher, LogsABrokerThatCannotBeReachedOncePerOutage)
{
    MqttConfig config;
    config.host = "127.0.0.1";
    config.port = 1;  // nothing listens there
    Metrics metrics;
    testing::internal::CaptureStderr();
    {
        Publisher publisher(config, metrics);
        std::string error;
        ASSERT_TRUE(publisher.start(error)) << error;
        // The client retries after 1 s and 2 s more: two silent failures.
        std::this_thread::sleep_for(std::chrono::milliseconds(3500));
        publisher.stop();
    }
    const std::string log = testing::internal::GetCapturedStderr();
    const std::string line = "mqtt: cannot connect to 127.0.0.1:1: Connection refused; retrying\n";
    size_t count = 0;
    for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) {
        ++count;
    }
    EXPECT_EQ(count, 1u) << log;
}

// A full queue makes room with the oldest routine measure; events (alarms,
// failures) go only when nothing else is left to drop.
TEST(GatewayPublisher, AFullQueueDropsMeasuresBeforeEvents)
{
    MqttConfig config;
    config.host = "127.0.0.1";
    config.port = 1;  // nothing listens there
    config.queueLimit = 3;
    Metrics metrics;
    Publisher publisher(config, metrics);
    std::string error;
    ASSERT_TRUE(publisher.start(error)) << error;
    const struct {
        const char* topic;
        std::vector<std::string> queued;
    } steps[] = {
        {"v/l/1.2.3/event", {"v/l/1.2.3/event"}},
        {"v/l/1.2.3/measure", {"v/l/1.2.3/event", "v/l/1.2.3/measure"}},
        {"v/l/1.2.4/event", {"v/l/1.2.3/event", "v/l/1.2.3/measure", "v/l/1.2.4/event"}},
        {"v/l/1.2.4/measure", {"v/l/1.2.3/event", "v/l/1.2.4/event", "v/l/1.2.4/measure"}},
        {"v/l/event", {"v/l/1.2.3/event", "v/l/1.2.4/event", "v/l/event"}},
        {"v/l/1.2.5/event", {"v/l/1.2.4/event", "v/l/event", "v/l/1.2.5/event"}},
    };
    for (const auto& step : steps) {
        publisher.publish(step.topic, "x", false);
        EXPECT_EQ(publisher.queuedTopics(), step.queued) << "after " << step.topic;
    }
    const std::string text = metrics.render();
    EXPECT_NE(text.find("varno_mqtt_queue_dropped_total 3\n"), std::string::npos) << text;
    EXPECT_NE(text.find("varno_mqtt_refused_total 0\n"), std::string::npos) << text;
    publisher.stop();
}

// The documents follow the current discovery schema: default_entity_id,
// entity names that leave the device name to Home Assistant, an alarm
// entity per unit, and a gateway device behind every via_device.
TEST(GatewayPayloads, DiscoveryDocumentsOfAUnitAndOfTheGateway)
{
    const std::vector<DiscoveryTopics> docs =
        discoveryPayloads("ha", "varno", "gw-1", "line1", "1.2.3", "Boiler", "%LEL");
    ASSERT_EQ(docs.size(), 2u);
    const DiscoveryTopics gateway = gatewayDiscoveryPayload("ha", "varno", "gw-1");
    const nlohmann::json g = nlohmann::json::parse(gateway.payload);
    EXPECT_EQ(gateway.configTopic, "ha/binary_sensor/gw-1/gateway/config");
    EXPECT_EQ(g["state_topic"], "varno/gateway/gw-1/availability");
    EXPECT_EQ(g["default_entity_id"], "binary_sensor.varno_gateway_gw_1");
    const struct {
        const char* topic;
        const char* entity;
        const char* stateTopic;
        const char* deviceClass;
    } cases[] = {
        {"ha/sensor/gw-1/varno_line1_1_2_3/config", "sensor.varno_line1_1_2_3",
         "varno/line1/1.2.3/measure", nullptr},
        {"ha/binary_sensor/gw-1/varno_line1_1_2_3_alarm/config",
         "binary_sensor.varno_line1_1_2_3_alarm", "varno/line1/1.2.3/status", "problem"},
    };
    for (size_t i = 0; i < docs.size(); ++i) {
        const auto& c = cases[i];
        const nlohmann::json j = nlohmann::json::parse(docs[i].payload);
        EXPECT_EQ(docs[i].configTopic, c.topic);
        EXPECT_EQ(j["default_entity_id"], c.entity);
        EXPECT_FALSE(j.contains("object_id")) << c.topic;
        EXPECT_EQ(j["state_topic"], c.stateTopic);
        EXPECT_EQ(j["device"]["name"], "Boiler");
        EXPECT_NE(j["name"], j["device"]["name"]) << c.topic;
        EXPECT_EQ(j["device"]["via_device"], g["device"]["identifiers"][0]);
        EXPECT_EQ(j["availability"][1]["topic"], g["state_topic"]);
        if (c.deviceClass != nullptr) {
            EXPECT_EQ(j["device_class"], c.deviceClass);
        } else {
            EXPECT_EQ(j["unit_of_measurement"], "%LEL");
        }
    }
    // The alarm entity reads the status payload's alarm flag.
    const nlohmann::json status = nlohmann::json::parse(
        statusPayload(0x0020, mirel_varno::StatusBitTexts(), 3, "x", Clock::time_point()));
    EXPECT_EQ(status["alarm"], true);
    const nlohmann::json quiet = nlohmann::json::parse(
        statusPayload(0x0001, mirel_varno::StatusBitTexts(), 3, "x", Clock::time_point()));
    EXPECT_EQ(quiet["alarm"], false);
}

// A reload that moves the broker connection keeps what is queued; one
// whose new client cannot be set up leaves the running one as it was.
TEST(GatewayPublisher, ARestartKeepsTheQueue)
{
    MqttConfig config;
    config.host = "127.0.0.1";
    config.port = 1;  // nothing listens there
    config.queueLimit = 10;
    Metrics metrics;
    Publisher publisher(config, metrics);
    std::string error;
    ASSERT_TRUE(publisher.start(error)) << error;
    publisher.publish("v/l/1.2.3/event", "alarm", false);
    publisher.publish("v/l/1.2.3/measure", "1", false);
    const std::vector<std::string> queued = publisher.queuedTopics();

    MqttConfig broken = config;
    broken.tls = true;
    broken.caFile = "/nonexistent/ca.pem";
    EXPECT_FALSE(publisher.restart(broken, error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(publisher.config().port, 1);

    MqttConfig next = config;
    next.port = 2;
    error.clear();
    ASSERT_TRUE(publisher.restart(next, error)) << error;
    EXPECT_EQ(publisher.config().port, 2);
    publisher.publish("v/l/1.2.3/measure", "2", false);
    std::vector<std::string> expected = queued;
    expected.push_back("v/l/1.2.3/measure");
    EXPECT_EQ(publisher.queuedTopics(), expected);
    publisher.stop();
}
