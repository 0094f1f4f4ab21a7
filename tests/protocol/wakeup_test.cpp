// How often a read wakes while a reply arrives at 9600 baud, and that
// following a reply without waking at each byte still ends a read where
// it ended before: a unit on a pseudo-terminal that sends every byte at
// its time on the line, the wake-ups counted in the C library calls.

#include <gtest/gtest.h>

#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "base/error.h"
#include "protocol/serialportvarnoprotocol.h"
#include "serial/serialport.h"
#include "support/pseudoterminal.h"
#include "support/syscallcount.h"
#include "unitresponder.h"

using namespace mirel_varno;
using varno_test::PseudoTerminal;
using varno_test::SyscallCounter;
using varno_test::SyscallCounts;

namespace {

constexpr int64_t ByteNs = 1'041'667;  // ten bits at 9600 baud
const UnitAddress Unit{1, 2, 3};
constexpr size_t RequestBytes = 14 + 1 + 4;  // a read of one variable

void sleepUntilNs(int64_t at)
{
    const timespec t{static_cast<time_t>(at / 1'000'000'000), static_cast<long>(at % 1'000'000'000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) != 0) {
    }
}

// While it lives, the calling thread runs before ordinary ones where the
// system lets it: a busy machine then neither makes pauses on the line
// that a test did not ask for nor hides those it did behind a late reader.
class RunFirst {
public:
    RunFirst()
    {
        pthread_getschedparam(pthread_self(), &policy_, &param_);
        const sched_param first{sched_get_priority_min(SCHED_FIFO)};
        pthread_setschedparam(pthread_self(), SCHED_FIFO, &first);
    }
    ~RunFirst() { pthread_setschedparam(pthread_self(), policy_, &param_); }
    RunFirst(const RunFirst&) = delete;
    RunFirst& operator=(const RunFirst&) = delete;

private:
    int policy_ = SCHED_OTHER;
    sched_param param_{};
};

// Writes the bytes from `startNs` on, each at its own time on the line,
// with `pauseNs` more before byte `pauseBefore`. A byte that falls behind
// (a busy machine) goes at once, so no silence is made longer.
void sendPaced(const PseudoTerminal& pty, const std::vector<uint8_t>& bytes, int64_t startNs,
               size_t pauseBefore = SIZE_MAX, int64_t pauseNs = 0)
{
    const RunFirst first;
    int64_t at = startNs;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i == pauseBefore) {
            at += pauseNs;
        }
        sleepUntilNs(at);
        if (::write(pty.master(), &bytes[i], 1) != 1) {
            ADD_FAILURE() << "write to the pseudo-terminal failed";
            return;
        }
        at += ByteNs;
    }
}

// Takes one request off the line; false when none comes within a second.
bool takeRequest(const PseudoTerminal& pty)
{
    size_t got = 0;
    uint8_t buffer[64];
    while (got < RequestBytes) {
        pollfd p{pty.master(), POLLIN, 0};
        if (poll(&p, 1, 1000) != 1) {
            return false;
        }
        const ssize_t n = ::read(pty.master(), buffer, sizeof buffer);
        if (n <= 0) {
            return false;
        }
        got += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

TEST(Wakeups, AStatusExchangeTakesAFewWakeups)
{
    PseudoTerminal pty;
    SerialPortVarnoProtocol port(pty.slavePath().c_str());
    ASSERT_TRUE(port.isOpen());
    const std::vector<uint8_t> reply = varno_test::valueReply(Unit, 5, 24, {0xA4, 0x00});

    // When the unit's first byte is in, counted from taking the request.
    const struct {
        const char* name;
        int64_t answerNs;
        uint64_t waits;
        uint64_t reads;
    } cases[] = {
        {"answers 30 ms late", 30'000'000, 5, 4},
        // The request takes its line time; the first byte one more.
        {"answers at once", static_cast<int64_t>(RequestBytes + 1) * ByteNs, 5, 4},
        // Sooner than the line allows, as on a line without transmission
        // times: the reply is in by the pause's end.
        {"answers sooner than the line allows", 0, 2, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // Several exchanges, judged by the middle one: a busy machine may
        // delay a byte now and then, and a delay is a pause on the line.
        constexpr int Exchanges = 9;
        std::vector<uint64_t> waits;
        std::vector<uint64_t> reads;
        for (int i = 0; i < Exchanges; ++i) {
            std::thread unit([&pty, &reply, &c] {
                if (takeRequest(pty)) {
                    sendPaced(pty, reply, monotonicNs() + c.answerNs);
                }
            });
            uint16_t status = 0;
            SyscallCounts counts;
            {
                SyscallCounter counter;
                EXPECT_NO_THROW(port.readStatus(Unit, status));
                counts = counter.counts();
            }
            unit.join();
            EXPECT_EQ(status, 0x00A4);
            EXPECT_EQ(port.lastError(), NoError);
            EXPECT_EQ(counts.writes, 1u) << "the request goes in one write";
            waits.push_back(counts.waits);
            reads.push_back(counts.reads);
        }
        std::sort(waits.begin(), waits.end());
        std::sort(reads.begin(), reads.end());
        const auto show = [](const std::vector<uint64_t>& v) {
            std::string text;
            for (uint64_t n : v) {
                text += " " + std::to_string(n);
            }
            return text;
        };
        EXPECT_LE(waits[Exchanges / 2], c.waits) << "blocking waits:" << show(waits);
        EXPECT_LE(reads[Exchanges / 2], c.reads) << "reads:" << show(reads);
    }
}

TEST(Wakeups, AReplyEndsWhereItEndedWhenEveryByteWokeTheReader)
{
    // A 14-byte read of a reply that starts 30 ms after the read, paced
    // at 9600 baud; the gap that ends a read is 6 ms.
    const struct {
        const char* what;
        size_t sent;        // bytes the unit sends
        size_t pauseBefore; // the byte a pause comes before
        int64_t pauseNs;    // added to the byte's own time
        uint32_t read;      // what the read takes
        Error error;        // what the read leaves as the last error
    } rows[] = {
        {"healthy", 14, SIZE_MAX, 0, 14, NoError},
        {"pause well under the gap", 14, 6, 2'000'000, 14, NoError},
        {"pause under the gap, near the end", 14, 12, 2'500'000, 14, NoError},
        {"pause over the gap", 14, 6, 11'000'000, 6, WriteError},
        {"pause over the gap, near the start", 14, 2, 11'000'000, 2, WriteError},
        {"stops short", 10, SIZE_MAX, 0, 10, WriteError},
    };
    PseudoTerminal pty;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        // A port of our own each time: nothing of one row reaches the next.
        pty.drain();
        struct ExposedPort : SerialPort {
            using SerialPort::setLastError;
        } port;
        ASSERT_TRUE(port.open(pty.slavePath().c_str(), 9600, 'N', 8, OneStopBit));
        port.discardInput();
        port.setLastError(WriteError);  // a part leaves it as it was

        std::vector<uint8_t> bytes(row.sent);
        for (size_t i = 0; i < bytes.size(); ++i) {
            bytes[i] = static_cast<uint8_t>(0x40 + i);
        }
        const int64_t start = monotonicNs() + 30'000'000;
        std::thread unit([&] { sendPaced(pty, bytes, start, row.pauseBefore, row.pauseNs); });
        uint8_t got[14] = {};
        uint32_t count = 0;
        {
            const RunFirst first;
            count = port.read(got, sizeof got);
        }
        unit.join();
        EXPECT_EQ(count, row.read);
        EXPECT_EQ(port.lastError(), row.error);
        for (uint32_t i = 0; i < count; ++i) {
            EXPECT_EQ(got[i], 0x40 + i);
        }
        port.close();
    }
}
