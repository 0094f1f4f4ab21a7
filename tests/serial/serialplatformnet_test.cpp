// SerialPort on network lines against a device server played by the test
// on a loopback socket: names, bytes both ways, the widened gap, the
// Telnet session's settings, a lost connection and failures to open.

#include "serial/serialplatformnet.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/error.h"
#include "serial/serialplatformresolver.h"
#include "serial/serialport.h"
#include "support/lineserver.h"

using namespace mirel_varno;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

namespace {

long msSince(Clock::time_point start)
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

using Listener = varno_test::LoopbackListener;

// Collects what the peer sends until `count` bytes came or `ms` passed.
Bytes receive(int fd, size_t count, int ms)
{
    Bytes got;
    const Clock::time_point start = Clock::now();
    while (got.size() < count && msSince(start) < ms) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 10) != 1) {
            continue;
        }
        uint8_t buffer[256];
        const ssize_t n = recv(fd, buffer, std::min(sizeof buffer, count - got.size()), 0);
        if (n <= 0) {
            break;
        }
        got.insert(got.end(), buffer, buffer + n);
    }
    return got;
}

void sendBytes(int fd, const Bytes& bytes)
{
    ASSERT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
}

bool contains(const Bytes& haystack, const Bytes& needle)
{
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
           haystack.end();
}

bool openLine(SerialPort& port, const std::string& name)
{
    return port.open(name.c_str(), 9600, 'N', 8, OneStopBit);
}

}  // namespace

TEST(NetworkName, SchemesHostsPortsAndGap)
{
    struct Case {
        const char* name;
        bool ok;
        NetworkName::Kind kind;
        const char* host;
        const char* port;
        uint32_t gap;
        const char* error;  // part of the reason when not ok
    };
    using K = NetworkName::Kind;
    const Case cases[] = {
        {"tcp://127.0.0.1:2000", true, K::Raw, "127.0.0.1", "2000", DefaultNetworkGapMs, ""},
        {"RFC2217://line.example:4001", true, K::Telnet, "line.example", "4001", DefaultNetworkGapMs, ""},
        {"tcp://[::1]:65535?gap=40", true, K::Raw, "::1", "65535", 40, ""},
        {"rfc2217://[fe80::1%eth0]:7?gap=0", true, K::Telnet, "fe80::1%eth0", "7", 0, ""},
        {"udp://host:1", false, K::Raw, "", "", 0, "unknown scheme"},
        {"tcp://host", false, K::Raw, "", "", 0, "HOST:PORT"},
        {"tcp://:2000", false, K::Raw, "", "", 0, "no host"},
        {"tcp://host:0", false, K::Raw, "", "", 0, "bad port"},
        {"tcp://host:65536", false, K::Raw, "", "", 0, "bad port"},
        {"tcp://host:20x", false, K::Raw, "", "", 0, "bad port"},
        {"tcp://::1:2000", false, K::Raw, "", "", 0, "brackets"},
        {"tcp://[::1]2000", false, K::Raw, "", "", 0, "[ADDRESS]:PORT"},
        {"tcp://host:1?gap=10001", false, K::Raw, "", "", 0, "gap=MS"},
        {"tcp://host:1?speed=9600", false, K::Raw, "", "", 0, "unknown option"},
    };
    for (const Case& c : cases) {
        NetworkName n;
        std::string error;
        ASSERT_EQ(parseNetworkName(c.name, n, error), c.ok) << c.name << ": " << error;
        if (c.ok) {
            EXPECT_EQ(n.kind, c.kind) << c.name;
            EXPECT_EQ(n.host, c.host) << c.name;
            EXPECT_EQ(n.port, c.port) << c.name;
            EXPECT_EQ(n.gapMs, c.gap) << c.name;
        } else {
            EXPECT_NE(error.find(c.error), std::string::npos) << c.name << ": " << error;
        }
    }
    EXPECT_EQ(deviceName("tcp://[::1]:2000: baud=9600 parity=N data=8 stop=1"), "tcp://[::1]:2000");
}

TEST(NetworkLine, RawBytesPassUnchangedOverIPv4AndIPv6)
{
    for (const std::string address : {"127.0.0.1", "::1"}) {
        Listener server(address);
        if (!server.ok()) {
            ASSERT_NE(address, "127.0.0.1");
            continue;  // a machine without IPv6 loopback
        }
        const std::string host = address == "::1" ? "[::1]" : address;
        SerialPort port;
        ASSERT_TRUE(openLine(port, "tcp://" + host + ":" + std::to_string(server.port())))
            << port.openFailure();
        const int peer = server.accept(2000);
        ASSERT_GE(peer, 0);
        PortTimeouts t;
        ASSERT_TRUE(port.getTimeouts(t));
        EXPECT_EQ(t.readInterval, DefaultNetworkGapMs);

        const Bytes request = {0x01, 0x02, 0x03, 0xFF, 0xFF, 0x0D, 0x00};
        ASSERT_TRUE(port.write(request.data(), static_cast<uint32_t>(request.size())));
        EXPECT_EQ(receive(peer, request.size() + 1, 300), request) << address;

        // A reply in two pieces 40 ms apart is one read under the wide gap.
        std::thread unit([&] {
            sendBytes(peer, {0x01, 0x01, 0xFF});
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
            sendBytes(peer, {0xFF, 0xFF, 0x00});
        });
        uint8_t reply[6] = {};
        EXPECT_EQ(port.read(reply, sizeof reply), 6u) << address;
        unit.join();
        EXPECT_EQ(Bytes(reply, reply + 6), (Bytes{0x01, 0x01, 0xFF, 0xFF, 0xFF, 0x00}));
        EXPECT_EQ(port.lastError(), NoError);
        ::close(peer);
    }
}

TEST(NetworkLine, NarrowGapFromTheNameEndsAReadBetweenPieces)
{
    Listener server("127.0.0.1");
    ASSERT_TRUE(server.ok());
    SerialPort port;
    ASSERT_TRUE(openLine(port, "tcp://127.0.0.1:" + std::to_string(server.port()) + "?gap=10"));
    const int peer = server.accept(2000);
    ASSERT_GE(peer, 0);
    std::thread unit([&] {
        sendBytes(peer, {0x11, 0x22});
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        sendBytes(peer, {0x33});
    });
    uint8_t reply[3] = {};
    EXPECT_EQ(port.read(reply, sizeof reply), 2u);
    unit.join();
    EXPECT_EQ(port.read(reply + 2, 1), 1u);
    EXPECT_EQ(reply[2], 0x33);
    ::close(peer);
}

TEST(NetworkLine, TelnetLineSetsTheFarPortAndEscapes0xFF)
{
    Listener server("127.0.0.1");
    ASSERT_TRUE(server.ok());
    Bytes opening;
    Bytes settings;
    Bytes request;
    Bytes parity;
    std::thread accessServer([&] {
        const int peer = server.accept(3000);
        ASSERT_GE(peer, 0);
        opening = receive(peer, 15, 2000);
        // Agree to everything, in the middle of a command split in two.
        sendBytes(peer, {255, 253, 0, 255, 251, 0, 255, 253, 3, 255});
        sendBytes(peer, {251, 3, 255, 253, 44});
        // Baud rate, data size, parity, stop size, flow, DTR, purge.
        settings = receive(peer, 10 + 6 * 7, 2000);
        sendBytes(peer, {255, 250, 44, 101, 0, 0, 37, 128, 255, 240, 255, 250, 44, 102, 8, 255, 240,
                         255, 250, 44, 103, 1, 255, 240, 255, 250, 44, 104, 1, 255, 240, 255, 250,
                         44, 105, 1, 255, 240, 255, 250, 44, 105, 9, 255, 240, 255, 250, 44, 112,
                         1, 255, 240});
        // The open turns DTR off (no flow control) before the request.
        request = receive(peer, 7 + 4, 2000);
        // The reply: its checksum's 0xFF doubled, split between the two.
        sendBytes(peer, {0x18, 0xFC, 255});
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        sendBytes(peer, {255, 0x00, 255, 241});
        parity = receive(peer, 7, 2000);
        ::close(peer);
    });
    SerialPort port;
    const bool opened = openLine(port, "rfc2217://127.0.0.1:" + std::to_string(server.port()));
    EXPECT_TRUE(opened) << port.openFailure();
    if (opened) {
        const Bytes frame = {0x18, 0xFF, 0x0D};
        EXPECT_TRUE(port.write(frame.data(), static_cast<uint32_t>(frame.size())));
        uint8_t reply[4] = {};
        EXPECT_EQ(port.read(reply, sizeof reply), 4u);
        EXPECT_EQ(Bytes(reply, reply + 4), (Bytes{0x18, 0xFC, 0xFF, 0x00}));
        port.setParity('E');
    }
    accessServer.join();
    EXPECT_TRUE(contains(opening, {255, 251, 44})) << "no WILL COM-PORT-OPTION";
    EXPECT_TRUE(contains(settings, {255, 250, 44, 1, 0, 0, 37, 128, 255, 240})) << "no 9600 baud";
    EXPECT_TRUE(contains(settings, {255, 250, 44, 2, 8, 255, 240}));
    EXPECT_TRUE(contains(settings, {255, 250, 44, 3, 1, 255, 240}));
    EXPECT_TRUE(contains(settings, {255, 250, 44, 4, 1, 255, 240}));
    EXPECT_TRUE(contains(settings, {255, 250, 44, 12, 1, 255, 240})) << "no purge";
    EXPECT_EQ(request, (Bytes{255, 250, 44, 5, 9, 255, 240, 0x18, 255, 255, 0x0D}));
    EXPECT_EQ(parity, (Bytes{255, 250, 44, 3, 3, 255, 240}));
}

TEST(NetworkLine, LostConnectionReadsAsSilenceAndComesBack)
{
    Listener server("127.0.0.1");
    ASSERT_TRUE(server.ok());
    SerialPort port;
    ASSERT_TRUE(openLine(port, "tcp://127.0.0.1:" + std::to_string(server.port())));
    port.setTimeouts(1, 0);
    int peer = server.accept(2000);
    ASSERT_GE(peer, 0);
    ::close(peer);

    // Like a silent line: nothing, after the total limit of 14 + 500 ms.
    uint8_t reply[14];
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(port.read(reply, sizeof reply), 0u);
    EXPECT_EQ(port.lastError(), NoAnswer);
    EXPECT_GE(msSince(start), 20 + 514 - 5);
    EXPECT_FALSE(port.deviceLost());
    EXPECT_TRUE(port.isOpen());

    // The reconnection was tried during that wait, after the first back-off.
    peer = server.accept(3000);
    ASSERT_GE(peer, 0);
    const Bytes request = {0x05, 0x06};
    EXPECT_TRUE(port.write(request.data(), 2));
    EXPECT_EQ(receive(peer, 2, 1000), request);
    sendBytes(peer, {0x07});
    EXPECT_EQ(port.read(reply, 1), 1u);
    EXPECT_EQ(reply[0], 0x07);
    ::close(peer);
}

TEST(NetworkLine, OpenFailuresSayWhy)
{
    Listener closed("127.0.0.1");
    ASSERT_TRUE(closed.ok());
    const std::string refusedPort = std::to_string(closed.port());
    closed.close();

    // A server that speaks Telnet but will not control the port.
    Listener refusing("127.0.0.1");
    ASSERT_TRUE(refusing.ok());
    std::thread plainTelnet([&] {
        const int peer = refusing.accept(3000);
        ASSERT_GE(peer, 0);
        receive(peer, 15, 2000);
        sendBytes(peer, {255, 254, 44});
        receive(peer, 1, 500);
        ::close(peer);
    });

    const struct {
        std::string name;
        const char* reason;
    } cases[] = {
        {"tcp://127.0.0.1:" + refusedPort, "Connection refused"},
        {"tcp://no-such-host.invalid:2000", "cannot resolve host 'no-such-host.invalid'"},
        {"rfc2217://127.0.0.1:" + std::to_string(refusing.port()), "refuses COM port control"},
        {"tcp://127.0.0.1", "expected HOST:PORT"},
    };
    for (const auto& c : cases) {
        SerialPort port;
        EXPECT_FALSE(openLine(port, c.name)) << c.name;
        EXPECT_EQ(port.lastError(), SerialPortError) << c.name;
        EXPECT_NE(port.openFailure().find(c.reason), std::string::npos)
            << c.name << ": " << port.openFailure();
        EXPECT_FALSE(port.write("x", 1));
    }
    plainTelnet.join();
}

TEST(NetworkLine, AReadableStopDescriptorEndsTheWaits)
{
    Listener server("127.0.0.1");
    ASSERT_TRUE(server.ok());
    SerialPort port;
    ASSERT_TRUE(openLine(port, "tcp://127.0.0.1:" + std::to_string(server.port())));
    const int peer = server.accept(2000);
    ASSERT_GE(peer, 0);
    int stop[2];
    ASSERT_EQ(pipe(stop), 0);
    port.setStopDescriptor(stop[0]);

    // The far end stays silent; a read would wait 534 ms. The stop comes
    // after 100, and a lost connection ends its wait for a new one as well.
    for (const bool connected : {true, false}) {
        SCOPED_TRACE(connected ? "connected" : "connection lost");
        if (!connected) {
            server.close();
            ::close(peer);
            uint8_t drain[4];
            port.read(drain, sizeof drain);  // finds the connection gone
        }
        std::thread stopper([&stop] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            (void)!::write(stop[1], "s", 1);
        });
        uint8_t reply[14] = {};
        const Clock::time_point start = Clock::now();
        EXPECT_EQ(port.read(reply, sizeof reply), 0u);
        const long elapsed = msSince(start);
        stopper.join();
        EXPECT_LT(elapsed, 480);
        uint8_t byte = 0;
        (void)!::read(stop[0], &byte, 1);  // ready for the next case
    }
    port.setStopDescriptor(-1);
    ::close(stop[0]);
    ::close(stop[1]);
}

namespace {

using varno_test::LineServer;
using Behaviour = LineServer::Behaviour;

std::string lineName(bool telnet, int port)
{
    return std::string(telnet ? "rfc2217" : "tcp") + "://127.0.0.1:" + std::to_string(port);
}

// A resolver for tests: answers the first `answers` lookups with the
// given addresses and holds every later one until released.
struct ResolverGate {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<NetworkAddress> addresses;
    int answers = 0;
    int calls = 0;
    bool released = false;
};

NetworkAddress loopback(int port)
{
    NetworkAddress a;
    auto* in = reinterpret_cast<sockaddr_in*>(&a.address);
    in->sin_family = AF_INET;
    in->sin_port = htons(static_cast<uint16_t>(port));
    in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.size = sizeof *in;
    return a;
}

// Installs the gate as the resolver for the test's life; releases the
// lookups still held when it ends, so that their threads finish.
class GatedResolver {
public:
    explicit GatedResolver(std::vector<NetworkAddress> addresses, int answers)
        : gate_(std::make_shared<ResolverGate>())
    {
        gate_->addresses = std::move(addresses);
        gate_->answers = answers;
        std::shared_ptr<ResolverGate> gate = gate_;
        setNameResolver([gate](const std::string&, const std::string&,
                               std::vector<NetworkAddress>& out, std::string&) {
            std::unique_lock<std::mutex> hold(gate->lock);
            if (gate->calls++ >= gate->answers) {
                gate->changed.wait(hold, [&] { return gate->released; });
            }
            out = gate->addresses;
            return true;
        });
    }
    ~GatedResolver()
    {
        setNameResolver(nullptr);
        const std::lock_guard<std::mutex> hold(gate_->lock);
        gate_->released = true;
        gate_->changed.notify_all();
    }
    int calls() const
    {
        const std::lock_guard<std::mutex> hold(gate_->lock);
        return gate_->calls;
    }

private:
    std::shared_ptr<ResolverGate> gate_;
};

// One 14-byte read under the fixed time-outs (20 ms pause, 514 ms limit),
// cut short at 100 ms by the stop descriptor or by close() from another
// thread when asked; its duration in milliseconds.
enum class CutBy { Nothing, Stop, Close };

long timedRead(SerialPort& port, CutBy cut, uint32_t& count)
{
    int stop[2];
    if (pipe(stop) != 0) {
        return -1;
    }
    port.setStopDescriptor(stop[0]);
    std::thread cutter([&] {
        if (cut == CutBy::Nothing) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (cut == CutBy::Stop) {
            (void)!::write(stop[1], "s", 1);
        } else {
            port.close();
        }
    });
    uint8_t reply[14];
    const Clock::time_point start = Clock::now();
    count = port.read(reply, sizeof reply);
    const long elapsed = msSince(start);
    cutter.join();
    port.setStopDescriptor(-1);
    ::close(stop[0]);
    ::close(stop[1]);
    return elapsed;
}

}  // namespace

// Each server misbehaves at the open; the open ends within its band, with
// the server's own reason when it gave one.
TEST(NetworkLine, OpenAgainstMisbehavingServers)
{
    const struct {
        Behaviour behaviour;
        bool telnet;
        bool opens;
        const char* reason;
        long withinMs;
    } cases[] = {
        // ser2net confirms the line's settings but never DTR on or off.
        {Behaviour::TelnetNoControlAnswers, true, true, "", 500},
        {Behaviour::ComplainAndHangUp, false, false,
         "ser2net says: Device open failure: No such file or directory", 1000},
        {Behaviour::TelnetComplainAndHangUp, true, false,
         "ser2net says: Device open failure: No such file or directory", 1000},
        {Behaviour::TelnetEndlessSubnegotiationAtOpen, true, false, "subnegotiation without end",
         3200},
    };
    for (const auto& c : cases) {
        LineServer server(c.behaviour);
        ASSERT_TRUE(server.ok());
        const std::string name = lineName(c.telnet, server.port());
        SCOPED_TRACE(name + " against behaviour " + std::to_string(static_cast<int>(c.behaviour)));
        SerialPort port;
        const Clock::time_point start = Clock::now();
        EXPECT_EQ(openLine(port, name), c.opens) << port.openFailure();
        EXPECT_LT(msSince(start), c.withinMs);
        EXPECT_NE(port.openFailure().find(c.reason), std::string::npos) << port.openFailure();
        EXPECT_EQ(port.openFailure().find('\r'), std::string::npos);
        EXPECT_EQ(server.connections(), 1);
    }
}

// Servers that flood a settled session with commands, or open a
// subnegotiation and never end it: a read ends at its limit, a stop or a
// close() from another thread ends it at once, and an endless
// subnegotiation costs the connection, which comes back.
TEST(NetworkLine, ReadsStayBoundedWhateverTheServerSends)
{
    const struct {
        Behaviour behaviour;
        bool telnet;
        bool reconnects;
    } cases[] = {
        {Behaviour::TelnetNopFlood, true, false},
        {Behaviour::TelnetEndlessSubnegotiation, true, true},
        {Behaviour::Silent, false, false},
    };
    for (const auto& c : cases) {
        LineServer server(c.behaviour);
        ASSERT_TRUE(server.ok());
        const std::string name = lineName(c.telnet, server.port());
        SCOPED_TRACE(name + " against behaviour " + std::to_string(static_cast<int>(c.behaviour)));
        SerialPort port;
        ASSERT_TRUE(openLine(port, name)) << port.openFailure();
        port.setTimeouts(1, 0);
        uint32_t count = 99;
        for (int i = 0; i < 3; ++i) {
            EXPECT_LT(timedRead(port, CutBy::Nothing, count), 534 + 200);
            EXPECT_EQ(count, 0u);
        }
        EXPECT_LT(timedRead(port, CutBy::Stop, count), 300);
        EXPECT_EQ(count, 0u);
        if (c.reconnects) {
            EXPECT_GE(server.connections(), 2);
        } else {
            EXPECT_EQ(server.connections(), 1);
        }
        EXPECT_LT(timedRead(port, CutBy::Close, count), 300);
        EXPECT_FALSE(port.isOpen());
    }
}

// A server that worked once and then only complains and hangs up: its
// text never reaches a read, and the reconnections thin out.
TEST(NetworkLine, ComplainingServerIsRedialledLessAndLessOften)
{
    LineServer server(Behaviour::WorkThenComplain);
    ASSERT_TRUE(server.ok());
    SerialPort port;
    ASSERT_TRUE(openLine(port, lineName(false, server.port()))) << port.openFailure();
    port.setTimeouts(1, 0);
    const Clock::time_point start = Clock::now();
    uint32_t received = 0;
    while (msSince(start) < 6000) {
        uint8_t reply[14];
        received += port.read(reply, sizeof reply);
    }
    EXPECT_EQ(received, 0u);
    EXPECT_GE(server.connections(), 3);
    EXPECT_LE(server.connections(), 8);
}

// A resolver that answers once and then never again: reconnections use
// the addresses it gave, reads keep their limits and a stop ends them.
TEST(NetworkLine, SilentResolverHoldsNoReadUp)
{
    LineServer server(Behaviour::HangUpSoon);
    ASSERT_TRUE(server.ok());
    GatedResolver resolver({loopback(server.port())}, 1);
    SerialPort port;
    ASSERT_TRUE(openLine(port, "tcp://line.test:" + std::to_string(server.port())))
        << port.openFailure();
    port.setTimeouts(1, 0);
    uint32_t count = 0;
    for (int i = 0; i < 5; ++i) {
        EXPECT_LT(timedRead(port, CutBy::Nothing, count), 534 + 200);
    }
    EXPECT_GE(resolver.calls(), 2);
    EXPECT_GE(server.connections(), 2);
    for (int i = 0; i < 3; ++i) {
        EXPECT_LT(timedRead(port, CutBy::Stop, count), 300);
    }
}

// The first address drops every packet; the second answers, and is given
// its share of the open's time.
TEST(NetworkLine, SilentFirstAddressLeavesTimeForTheNext)
{
    Listener silent("127.0.0.1", 0);
    ASSERT_TRUE(silent.ok());
    if (!silent.fillQueue()) {
        GTEST_SKIP() << "the kernel answers connections beyond a full queue";
    }
    LineServer server(Behaviour::Silent);
    ASSERT_TRUE(server.ok());
    GatedResolver resolver({loopback(silent.port()), loopback(server.port())}, 100);
    SerialPort port;
    const Clock::time_point start = Clock::now();
    EXPECT_TRUE(openLine(port, "tcp://line.test:" + std::to_string(server.port())))
        << port.openFailure();
    EXPECT_LT(msSince(start), 2900);
    EXPECT_EQ(server.connections(), 1);
}

// A reply paced at 9600 baud behind a device server, a TCP segment a byte:
// following it without waking at each segment still ends a read where a
// reader woken at every one ended it, on raw and on Telnet lines.
TEST(NetworkLine, AReplyEndsWhereItEndedWhenEverySegmentWokeTheReader)
{
    // A 14-byte read under a 30 ms gap, of a reply that starts 30 ms after
    // the request; two of its bytes are 0xFF, doubled on a Telnet line.
    constexpr int64_t Byte = LineServer::ByteNs;
    const struct {
        const char* what;
        size_t sent;         // bytes the unit sends
        size_t pauseBefore;  // the byte a pause comes before
        int64_t pauseUs;     // added to the byte's own time
        int64_t spacingNs;   // from one byte to the next
        bool nops;           // Telnet commands fill the pause
        bool hangUp;         // the server hangs up after the bytes
        uint32_t read;       // what the read takes
    } rows[] = {
        {"healthy", 14, SIZE_MAX, 0, Byte, false, false, 14},
        {"slower than the line, within the gap", 14, SIZE_MAX, 0, 2'500'000, false, false, 14},
        {"pause well under the gap", 14, 6, 15'000, Byte, false, false, 14},
        {"pause under the gap, near the end", 14, 12, 20'000, Byte, false, false, 14},
        {"pause over the gap", 14, 6, 45'000, Byte, false, false, 6},
        {"pause over the gap, near the start", 14, 2, 45'000, Byte, false, false, 2},
        {"stops short", 10, SIZE_MAX, 0, Byte, false, false, 10},
        {"hangs up in the middle", 9, SIZE_MAX, 0, Byte, false, true, 9},
        {"only commands in a pause under the gap", 14, 6, 15'000, Byte, true, false, 14},
        {"only commands in a pause over the gap", 14, 6, 45'000, Byte, true, false, 6},
    };
    std::vector<uint8_t> reply(14);
    for (size_t i = 0; i < reply.size(); ++i) {
        reply[i] = i == 3 || i == 8 ? 0xFF : static_cast<uint8_t>(0x40 + i);
    }
    for (const bool telnet : {false, true}) {
        LineServer server(telnet ? Behaviour::TelnetPacedUnit : Behaviour::PacedUnit);
        ASSERT_TRUE(server.ok());
        const std::string name = std::string(telnet ? "rfc2217" : "tcp") + "://127.0.0.1:" +
                                 std::to_string(server.port()) + "?gap=30";
        for (const auto& row : rows) {
            if (row.nops && !telnet) {
                continue;
            }
            SCOPED_TRACE(name + ": " + row.what);
            LineServer::Answer answer;
            answer.bytes.assign(reply.begin(), reply.begin() + static_cast<long>(row.sent));
            answer.pauseBefore = row.pauseBefore;
            answer.pauseUs = row.pauseUs;
            answer.spacingNs = row.spacingNs;
            answer.nopsInPause = row.nops;
            answer.hangUp = row.hangUp;
            server.answerWith(answer);
            // A port of our own each time: nothing of one row reaches the next.
            struct ExposedPort : SerialPort {
                using SerialPort::setLastError;
            } port;
            ASSERT_TRUE(openLine(port, name)) << port.openFailure();
            port.frameReceived();  // a line that works, as after its first reply
            ASSERT_TRUE(port.write("?", 1));
            port.setLastError(WriteError);  // a part leaves it as it was
            uint8_t got[14] = {};
            uint32_t count = 0;
            {
                const varno_test::RunFirst first;
                count = port.read(got, sizeof got);
            }
            EXPECT_EQ(count, row.read);
            EXPECT_EQ(port.lastError(), row.read == 14 ? NoError : WriteError);
            EXPECT_EQ(Bytes(got, got + count), Bytes(reply.begin(), reply.begin() + count));
        }
    }
}

TEST(NetworkLine, ByteTimeFollowsTheSpeedAndFraming)
{
    const struct {
        uint32_t baud;
        uint8_t bits;
        LineParity parity;
        LineStopBits stop;
        int64_t ns;
    } rows[] = {
        {9600, 8, LineParity::None, LineStopBits::One, 1'041'666},
        {9600, 7, LineParity::Even, LineStopBits::One, 1'041'666},
        {9600, 8, LineParity::Mark, LineStopBits::Two, 1'250'000},
        {19200, 5, LineParity::None, LineStopBits::OneAndHalf, 390'625},
        {115200, 8, LineParity::None, LineStopBits::One, 86'805},
        {0, 8, LineParity::None, LineStopBits::One, 0},
    };
    for (const auto& row : rows) {
        LineSettings line;
        line.baudRate = row.baud;
        line.byteSize = row.bits;
        line.parity = row.parity;
        line.stopBits = row.stop;
        EXPECT_EQ(lineByteTimeNs(line), row.ns) << row.baud << " " << int{row.bits};
    }
}

// A stop that comes while a read sleeps until a long reply can all be in
// ends the read with what has come, on both kinds of line.
TEST(NetworkLine, AStopEndsTheWatchOfAReply)
{
    for (const auto behaviour : {Behaviour::PacedUnit, Behaviour::TelnetPacedUnit}) {
        LineServer server(behaviour);
        ASSERT_TRUE(server.ok());
        LineServer::Answer answer;
        answer.bytes.assign(200, 0x5A);  // all in by 240 ms after the request
        server.answerWith(answer);
        const std::string name =
            std::string(behaviour == Behaviour::PacedUnit ? "tcp" : "rfc2217") + "://127.0.0.1:" +
            std::to_string(server.port());
        SCOPED_TRACE(name);
        SerialPort port;
        ASSERT_TRUE(openLine(port, name)) << port.openFailure();
        port.frameReceived();
        int stop[2];
        ASSERT_EQ(pipe(stop), 0);
        port.setStopDescriptor(stop[0]);
        ASSERT_TRUE(port.write("?", 1));
        std::thread stopper([&stop] {
            std::this_thread::sleep_for(std::chrono::milliseconds(60));
            (void)!::write(stop[1], "s", 1);
        });
        uint8_t got[200] = {};
        const uint32_t count = port.read(got, sizeof got);
        stopper.join();
        EXPECT_GE(count, 1u);
        EXPECT_LT(count, 200u);
        EXPECT_EQ(Bytes(got, got + count), Bytes(count, 0x5A));
        port.setStopDescriptor(-1);
        ::close(stop[0]);
        ::close(stop[1]);
    }
}
