// One port, one protocol object or one point list used from two threads at
// once: nothing is freed under a user and no exchange is mixed with
// another. Run under ThreadSanitizer or AddressSanitizer to see the races.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <condition_variable>
#include <memory>
#include <mutex>

#include "monitor/pointlist.h"
#include "protocol/serialportvarnoprotocol.h"
#include "serial/serialplatformresolver.h"
#include "support/lineserver.h"
#include "support/pseudoterminal.h"
#include "unitresponder.h"

using namespace mirel_varno;
using varno_test::PseudoTerminal;
using varno_test::Request;
using varno_test::UnitResponder;
using Clock = std::chrono::steady_clock;

namespace {

long long msSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

bool openOn(SerialPort& port, const PseudoTerminal& pty)
{
    return port.open(pty.slavePath().c_str(), 9600, 'N', 8, OneStopBit);
}

}  // namespace

TEST(SharedPort, CloseAndReopenNeverFreeTheDeviceUnderARead)
{
    PseudoTerminal pty;
    SerialPort port;
    ASSERT_TRUE(openOn(port, pty));

    // A read on the silent line would wait 534 ms; the close ends it and
    // releases the device at once, so the port opens again straight away.
    long long readMs = -1;
    std::thread reader([&port, &readMs] {
        uint8_t got[14];
        const auto start = Clock::now();
        port.read(got, sizeof got);
        readMs = msSince(start);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto start = Clock::now();
    port.close();
    const long long closeMs = msSince(start);
    reader.join();
    EXPECT_LT(closeMs, 300);
    EXPECT_LT(readMs, 400);
    EXPECT_TRUE(openOn(port, pty)) << "the closed device still held the line";

    // Reads of a talking line against a stream of closes and reopens.
    std::atomic<bool> done{false};
    std::atomic<uint32_t> bytes{0};
    std::thread talker([&pty, &done] {
        while (!done) {
            pty.write({1, 2, 3, 4});
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
    });
    std::thread busyReader([&port, &done, &bytes] {
        uint8_t got[64];
        while (!done) {
            bytes += port.read(got, sizeof got);
            port.clearErrors();
            (void)port.deviceLost();
        }
    });
    int reopened = 0;
    for (int i = 0; i < 40; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (i % 2 == 0) {
            port.close();
        } else {
            reopened += openOn(port, pty) ? 1 : 0;
        }
    }
    done = true;
    talker.join();
    busyReader.join();
    EXPECT_EQ(reopened, 20);
    EXPECT_GT(bytes.load(), 0u);
}

// A network line read by one thread while a server floods it with Telnet
// commands, closed by another; and a name lookup still running when its
// port goes away, which finishes later on its own.
TEST(SharedNetworkLine, CloseEndsAReadAndALookupOutlivesItsPort)
{
    varno_test::LineServer flood(varno_test::LineServer::Behaviour::TelnetNopFlood);
    ASSERT_TRUE(flood.ok());
    SerialPort port;
    ASSERT_TRUE(port.open(("rfc2217://127.0.0.1:" + std::to_string(flood.port())).c_str(), 9600,
                          'N', 8, OneStopBit))
        << port.openFailure();
    port.setTimeouts(1, 0);
    long long readMs = -1;
    std::thread reader([&port, &readMs] {
        uint8_t got[14];
        const auto start = Clock::now();
        port.read(got, sizeof got);
        readMs = msSince(start);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    port.close();
    reader.join();
    EXPECT_LT(readMs, 300);

    // The resolver answers once, then holds every lookup until released.
    struct Gate {
        std::mutex lock;
        std::condition_variable released;
        int calls = 0;
        bool open = false;
    };
    auto gate = std::make_shared<Gate>();
    varno_test::LineServer hangUp(varno_test::LineServer::Behaviour::HangUpSoon);
    ASSERT_TRUE(hangUp.ok());
    const int port2 = hangUp.port();
    setNameResolver([gate, port2](const std::string&, const std::string&,
                                  std::vector<NetworkAddress>& out, std::string&) {
        std::unique_lock<std::mutex> hold(gate->lock);
        if (gate->calls++ > 0) {
            gate->released.wait(hold, [&] { return gate->open; });
        }
        NetworkAddress a;
        auto* in = reinterpret_cast<sockaddr_in*>(&a.address);
        in->sin_family = AF_INET;
        in->sin_port = htons(static_cast<uint16_t>(port2));
        in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.size = sizeof *in;
        out.assign(1, a);
        return true;
    });
    {
        SerialPort held;
        ASSERT_TRUE(held.open(("tcp://line.test:" + std::to_string(port2)).c_str(), 9600, 'N', 8,
                              OneStopBit));
        held.setTimeouts(1, 0);
        uint8_t got[14];
        for (int i = 0; i < 3; ++i) {
            held.read(got, sizeof got);  // the server hangs up; a lookup starts and hangs
        }
    }
    setNameResolver(nullptr);
    {
        const std::lock_guard<std::mutex> hold(gate->lock);
        EXPECT_GE(gate->calls, 2);
        gate->open = true;
        gate->released.notify_all();
    }
    // The lookup's thread ends by itself; give it the moment it needs.
    for (int i = 0; i < 100 && gate.use_count() > 1; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(gate.use_count(), 1);
}

TEST(SharedProtocol, ExchangesOfTwoThreadsDoNotInterleave)
{
    PseudoTerminal terminal;
    // Each unit answers its status with its own first address byte.
    UnitResponder unit(terminal, [](const Request& r) {
        const UnitAddress to = r.header.destination();
        return varno_test::valueReply(to, 5, r.variable(), {to.first, 0x12});
    });
    SerialPortVarnoProtocol port(terminal.slavePath().c_str());
    ASSERT_TRUE(port.isOpen());

    constexpr int Rounds = 20;
    const auto poll = [&port](UnitAddress address, int& right) {
        for (int i = 0; i < Rounds; ++i) {
            try {
                uint16_t status = 0;
                port.readStatus(address, status);
                right += status == (0x1200 | address.first) ? 1 : 0;
            } catch (const Exception&) {
                // counted as not right
            }
        }
    };
    int rightA = 0;
    int rightB = 0;
    std::thread a(poll, UnitAddress{1, 2, 3}, std::ref(rightA));
    std::thread b(poll, UnitAddress{4, 5, 6}, std::ref(rightB));
    a.join();
    b.join();
    EXPECT_EQ(rightA, Rounds);
    EXPECT_EQ(rightB, Rounds);
    // One request per exchange, each a whole frame.
    EXPECT_EQ(unit.requests().size(), 2u * Rounds);
}

TEST(SharedPointList, RemovalAndClaimingWorkTogether)
{
    constexpr int Points = 40;
    PointList list;
    for (int i = 0; i < Points; ++i) {
        list.add(new Point(UnitAddress{static_cast<uint8_t>(i), 0, 0}));
    }
    // A claimed point cannot be claimed twice.
    Point* held = list.claimFound(UnitAddress{3, 0, 0});
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(list.claimAt(3), nullptr);
    held->release();

    std::atomic<bool> started{false};
    std::atomic<int> served{0};
    std::thread user([&list, &started, &served] {
        // Serves every point it can claim until the list is empty.
        for (int round = 0; list.count() > 0; ++round) {
            const UnitAddress address{static_cast<uint8_t>(round % Points), 0, 0};
            Point* point = round % 2 == 0 ? list.claimFound(address) : list.claimAt(round % Points);
            if (point != nullptr) {
                point->setName(wxString::Format("served %d", round));
                point->setLastLinkError(NoAnswer);
                point->release();
                ++served;
            }
            started = true;
        }
    });
    while (!started) {
        std::this_thread::yield();
    }
    EXPECT_TRUE(list.removeAll());
    user.join();
    EXPECT_EQ(list.count(), 0u);
    EXPECT_GT(served.load(), 0);
}
