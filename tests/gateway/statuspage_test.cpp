// The status page's documents: the live state as JSON, the events each
// change makes, the routes and their headers.
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "gateway/config.h"
#include "gateway/livestate.h"
#include "gateway/statuspage.h"

using namespace varno_gateway;
using nlohmann::json;

namespace {

GatewayConfig twoLines()
{
    return parseConfig("lines:\n"
                       "  - {name: a, device: /dev/ttyA, units: [{address: 1.2.3, name: Boiler}]}\n"
                       "  - {name: b, device: /dev/ttyB, scan: true}\n",
                       "test.yaml");
}

// Collects the events of a state.
struct Recorder {
    std::vector<std::string> events;
    void attach(LiveState& live)
    {
        live.setListener([this](const std::string& e) { events.push_back(e); });
    }
};

}  // namespace

TEST(StatusPageState, EachChangeIsOneEventAndRepeatsAreNone)
{
    LiveState live(twoLines());
    Recorder r;
    r.attach(live);
    struct Step {
        const char* what;
        std::function<void()> change;
        const char* type;  // null: no event
    };
    const std::vector<Step> steps = {
        {"line opens", [&] { live.lineOpen("a", true); }, "line"},
        {"open again", [&] { live.lineOpen("a", true); }, nullptr},
        {"unknown line", [&] { live.lineOpen("zz", false); }, nullptr},
        {"online", [&] { live.pointAvailable("a", "1.2.3", true); }, "point"},
        {"online again", [&] { live.pointAvailable("a", "1.2.3", true); }, nullptr},
        {"reading", [&] { live.pointReading("a", "1.2.3", 1.5, "%", 1, {"Measuring"}, 5); }, "point"},
        {"same reading, later", [&] { live.pointReading("a", "1.2.3", 1.5, "%", 1, {"Measuring"}, 6); }, "point"},
        {"state", [&] { live.pointState("a", "1.2.3", 7, "x"); }, "point"},
        {"same state", [&] { live.pointState("a", "1.2.3", 7, "x"); }, nullptr},
        {"found by a scan", [&] { live.pointInfo("b", "9.9.9", ""); }, "point"},
        {"broker", [&] { live.brokerConnected(true); }, "broker"},
        {"broker again", [&] { live.brokerConnected(true); }, nullptr},
    };
    for (const Step& step : steps) {
        const size_t before = r.events.size();
        step.change();
        if (step.type == nullptr) {
            EXPECT_EQ(r.events.size(), before) << step.what;
            continue;
        }
        ASSERT_EQ(r.events.size(), before + 1) << step.what;
        EXPECT_EQ(json::parse(r.events.back())["type"], step.type) << step.what;
    }
    const json doc = json::parse(live.snapshot(42));
    EXPECT_EQ(doc["now_ms"], 42);
    EXPECT_EQ(doc["broker"], "connected");
    ASSERT_EQ(doc["lines"].size(), 2u);
    EXPECT_EQ(doc["lines"][0]["state"], "open");
    EXPECT_EQ(doc["lines"][1]["state"], "opening");
    EXPECT_EQ(doc["lines"][1]["points"][0]["address"], "9.9.9");
    const json& p = doc["lines"][0]["points"][0];
    EXPECT_EQ(p["name"], "Boiler");
    EXPECT_EQ(p["value"], 1.5);
    EXPECT_EQ(p["units"], "%");
    EXPECT_EQ(p["bits"], json::array({"Measuring"}));
    EXPECT_EQ(p["availability"], "online");
    EXPECT_EQ(p["reading_ms"], 6);
    EXPECT_EQ(p["alarm"], false);
}

TEST(StatusPageState, AlarmComesFromTheAlarmBitsOnly)
{
    const struct {
        uint16_t status;
        bool alarm;
    } cases[] = {{0x0000, false}, {0x0001, false}, {0x0200, false},
                 {0x0020, true},  {0x0040, true},  {0x0080, true}, {0x0021, true}};
    for (const auto& c : cases) {
        LiveState live(twoLines());
        live.pointReading("a", "1.2.3", 0, "", c.status, {}, 1);
        const json doc = json::parse(live.snapshot(1));
        EXPECT_EQ(doc["lines"][0]["points"][0]["alarm"], c.alarm) << c.status;
        EXPECT_EQ(doc["lines"][0]["points"][0]["status"], c.status);
    }
}

// Texts from units and the configuration arrive byte for byte in the
// document, whatever they hold, and never break an event into two.
TEST(StatusPageState, AnyTextStaysOneWellFormedEvent)
{
    const std::vector<std::string> texts = {
        "<img src=x onerror=alert(1)>", "a\"b\\c", "line\n\ndata: {\"type\":\"broker\"}",
        "cr\rlf", std::string("nul\0byte", 8), "Ölstand °C", "bad \xff\xfe utf-8"};
    for (const std::string& text : texts) {
        LiveState live(twoLines());
        Recorder r;
        r.attach(live);
        live.pointInfo("a", "1.2.3", text);
        live.pointReading("a", "1.2.3", 2, text, 0x20, {text}, 1);
        ASSERT_EQ(r.events.size(), 2u);
        for (const std::string& e : r.events) {
            const std::string message = sseMessage(e);
            // One message: the only blank line is its end.
            EXPECT_EQ(message.find("\n\n"), message.size() - 2) << text;
            EXPECT_EQ(message.find('\r'), std::string::npos) << text;
            const json j = json::parse(e);
            if (text.find('\xff') == std::string::npos) {
                EXPECT_EQ(j["point"]["name"], text);
                if (&e == &r.events.back()) {
                    EXPECT_EQ(j["point"]["units"], text);
                    EXPECT_EQ(j["point"]["bits"][0], text);
                }
            } else {
                EXPECT_EQ(j["point"]["name"], "bad \xef\xbf\xbd\xef\xbf\xbd utf-8");
            }
        }
        EXPECT_TRUE(json::parse(live.snapshot(1)).is_object()) << text;
    }
}

TEST(StatusPageState, NotANumberIsNoValue)
{
    LiveState live(twoLines());
    live.pointReading("a", "1.2.3", std::nan(""), "%", 0, {}, 1);
    EXPECT_TRUE(json::parse(live.snapshot(1))["lines"][0]["points"][0]["value"].is_null());
}

TEST(StatusPageRoutes, ServesThePageTheDataAndTheStreamWithThePolicy)
{
    LiveState live(twoLines());
    const StatusPage page(live);
    const struct {
        const char* target;
        bool served;
        const char* type;
        bool stream;
    } cases[] = {
        {"/", true, "text/html; charset=utf-8", false},
        {"/page.js", true, "text/javascript; charset=utf-8", false},
        {"/page.css", true, "text/css; charset=utf-8", false},
        {"/api/points", true, "application/json", false},
        {"/events", true, "text/event-stream", true},
        {"/metrics", false, "", false},
        {"/../index.html", false, "", false},
        {"/index.htm", false, "", false},
    };
    size_t weight = 0;
    for (const auto& c : cases) {
        HttpServer::Reply reply;
        ASSERT_EQ(page.serve(c.target, reply), c.served) << c.target;
        if (!c.served) {
            continue;
        }
        EXPECT_EQ(reply.contentType, c.type) << c.target;
        EXPECT_EQ(reply.stream, c.stream) << c.target;
        EXPECT_FALSE(reply.body.empty()) << c.target;
        bool policy = false;
        for (const auto& f : reply.fields) {
            if (f.first == "Content-Security-Policy") {
                policy = f.second.find("default-src 'self'") != std::string::npos &&
                         f.second.find("unsafe") == std::string::npos;
            }
        }
        EXPECT_TRUE(policy) << c.target;
        if (std::string(c.target) == "/events") {
            EXPECT_EQ(reply.body.rfind("retry: ", 0), 0u);
            EXPECT_NE(reply.body.find("data: {"), std::string::npos);
        } else if (std::string(c.target) != "/api/points") {
            weight += reply.body.size();
            // Markup never comes from data, and the page runs no inline script.
            EXPECT_EQ(reply.body.find("innerHTML"), std::string::npos) << c.target;
            EXPECT_EQ(reply.body.find("<script>"), std::string::npos) << c.target;
        }
    }
    EXPECT_LT(weight, 50u * 1024) << "the page's weight";
}
