// The status page's documents: the live state as JSON, the events each
// change makes, the routes and their headers, the event streams.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <thread>
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
    StatusPage page(live);
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
        HttpServer::Request request;
        request.path = c.target;
        ASSERT_EQ(page.serve(request, reply), c.served) << c.target;
        if (!c.served) {
            continue;
        }
        EXPECT_EQ(reply.contentType, c.type) << c.target;
        EXPECT_EQ(static_cast<bool>(reply.stream), c.stream) << c.target;
        EXPECT_EQ(reply.body.empty(), c.stream) << c.target;
        bool policy = false;
        for (const auto& f : reply.headers) {
            if (f.first == "Content-Security-Policy") {
                policy = f.second.find("default-src 'self'") != std::string::npos &&
                         f.second.find("unsafe") == std::string::npos;
            }
        }
        EXPECT_TRUE(policy) << c.target;
        if (c.stream) {
            continue;
        } else if (std::string(c.target) != "/api/points") {
            weight += reply.body.size();
            // Markup never comes from data, and the page runs no inline script.
            EXPECT_EQ(reply.body.find("innerHTML"), std::string::npos) << c.target;
            EXPECT_EQ(reply.body.find("<script>"), std::string::npos) << c.target;
        }
    }
    EXPECT_LT(weight, 50u * 1024) << "the page's weight";
}

// A reload keeps what the lines showed, drops what is gone and tells the
// page with one whole document.
TEST(StatusPageState, ReconfigureKeepsDropsAndAnnounces)
{
    const GatewayConfig before =
        parseConfig("lines:\n"
                    "  - {name: a, device: /dev/ttyA, units: [{address: 1.2.3, name: Boiler}]}\n"
                    "  - {name: b, device: /dev/ttyB, scan: true, units: [{address: 2.2.2}]}\n"
                    "  - {name: gone, device: /dev/ttyC, scan: true}\n",
                    "test.yaml");
    LiveState live(before);
    live.pointReading("a", "1.2.3", 21.5, "C", 0, {}, 5);
    live.pointInfo("b", "7.7.7", "found");
    live.lineOpen("b", true);
    Recorder r;
    r.attach(live);
    const GatewayConfig next = parseConfig(
        "lines:\n"
        "  - {name: new, device: /dev/ttyD, scan: true}\n"
        "  - {name: b, device: /dev/ttyB, scan: true}\n"
        "  - {name: a, device: /dev/ttyE, units: [{address: 1.2.3, name: Tank}, {address: 1.2.4}]}\n",
        "test.yaml");
    live.reconfigure(before, next, 9);
    ASSERT_EQ(r.events.size(), 1u);
    const json event = json::parse(r.events[0]);
    EXPECT_EQ(event["type"], "snapshot");
    EXPECT_EQ(event, json::parse(live.snapshot(9)));
    const json& lines = event["lines"];
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0]["name"], "new");
    // b: the unit a scan found stays, the one no longer listed goes.
    EXPECT_EQ(lines[1]["state"], "open");
    ASSERT_EQ(lines[1]["points"].size(), 1u);
    EXPECT_EQ(lines[1]["points"][0]["address"], "7.7.7");
    // a: moved to another device, its reading kept under the new name.
    EXPECT_EQ(lines[2]["device"], "/dev/ttyE");
    EXPECT_EQ(lines[2]["state"], "opening");
    ASSERT_EQ(lines[2]["points"].size(), 2u);
    EXPECT_EQ(lines[2]["points"][0]["name"], "Tank");
    EXPECT_EQ(lines[2]["points"][0]["value"], 21.5);
    EXPECT_TRUE(lines[2]["points"][1]["value"].is_null());
    // The gone line's changes are nobody's now.
    live.lineOpen("gone", true);
    EXPECT_EQ(r.events.size(), 1u);
}

namespace {

// A raw client connection; reads wait at most 10 s in all.
class Client {
public:
    explicit Client(uint16_t port)
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
            const std::string request = "GET /events HTTP/1.1\r\nHost: x\r\n\r\n";
            (void)!::write(fd_, request.data(), request.size());
        }
    }
    ~Client() { close(); }
    void close()
    {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    // True once `text` has arrived.
    bool waitFor(const std::string& text)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (got_.find(text) == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
                return false;
            }
            char buffer[4096];
            const ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n <= 0) {
                return got_.find(text) != std::string::npos;
            }
            got_.append(buffer, static_cast<size_t>(n));
        }
        return true;
    }
    const std::string& got() const { return got_; }

private:
    int fd_ = -1;
    std::string got_;
};

}  // namespace

// Over a real connection: each stream starts with the whole state and
// then carries the changes; the stream past the cap is refused with a
// hint when to come back, and finds room once one has closed.
TEST(StatusPageStreams, SnapshotThenChangesAndACapOfSixteen)
{
    LiveState live(twoLines());
    StatusPage page(live);
    HttpServer server([&page](const HttpServer::Request& request) {
        HttpServer::Reply reply;
        if (!page.serve(request, reply)) {
            reply.status = 404;
        }
        return reply;
    });
    std::string error;
    ASSERT_TRUE(server.start("127.0.0.1", 0, error)) << error;
    std::vector<std::unique_ptr<Client>> clients;
    for (size_t i = 0; i < StatusPage::StreamLimit; ++i) {
        clients.push_back(std::make_unique<Client>(server.port()));
        ASSERT_TRUE(clients.back()->waitFor("\"type\":\"snapshot\"")) << i;
    }
    const std::string& first = clients.front()->got();
    EXPECT_EQ(first.rfind("HTTP/1.1 200", 0), 0u);
    EXPECT_NE(first.find("Content-Security-Policy:"), std::string::npos);
    EXPECT_NE(first.find("retry: 2000\n"), std::string::npos);

    Client refused(server.port());
    ASSERT_TRUE(refused.waitFor("too many open event streams"));
    EXPECT_EQ(refused.got().rfind("HTTP/1.1 503", 0), 0u);
    EXPECT_NE(refused.got().find("Retry-After: 10"), std::string::npos);

    live.pointReading("a", "1.2.3", 4.25, "bar", 0, {}, 77);
    for (auto& c : clients) {
        EXPECT_TRUE(c->waitFor("\"value\":4.25"));
    }

    clients.front()->close();
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (page.openStreams() >= StatusPage::StreamLimit &&
           std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    Client again(server.port());
    EXPECT_TRUE(again.waitFor("\"type\":\"snapshot\""));
    server.stop();
}
