// How promptly SerialPort::read returns, and what waiting costs, measured
// on a pseudo-terminal whose master side plays the unit:
//  - full read: from the write of the last expected byte to the return;
//  - short read: the same, less the 6 ms inter-byte gap that ends it;
//  - silent line: CPU time of the reading thread over its wall time;
//  - status exchanges with a unit that sends every byte at its time on a
//    9600 baud line, answering at once and 30 ms late: the reading
//    thread's wake-ups (blocking waits and reads) and CPU per exchange.
// Targets: under 1 ms of added latency, under 1% CPU while waiting.
//
//   serialbench [rounds]     (default 40)

#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "protocol/serialportvarnoprotocol.h"
#include "serial/serialport.h"
#include "sim/simunit.h"
#include "support/syscallcount.h"

using namespace mirel_varno;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint32_t ReplySize = 14;
constexpr double InterByteGapUs = 6000.0;

double microseconds(Clock::duration d)
{
    return static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(d).count()) /
           1000.0;
}

double cpuSecondsOfThisThread()
{
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Reads a 14-byte reply of which the unit sends `sent` bytes in one go,
// well after the read's 20 ms pause; microseconds from that write to the
// read's return.
double lateness(SerialPort& port, int master, uint32_t sent)
{
    Clock::time_point written;
    std::thread unit([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
        const std::vector<uint8_t> bytes(sent, 0x5A);
        written = Clock::now();
        if (write(master, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
            std::perror("write to pseudo-terminal");
        }
    });
    uint8_t reply[ReplySize];
    const uint32_t count = port.read(reply, ReplySize);
    const Clock::time_point returned = Clock::now();
    unit.join();
    if (count != sent) {
        std::fprintf(stderr, "read %u bytes, expected %u\n", count, sent);
    }
    return microseconds(returned - written);
}

struct Summary {
    double median;
    double p90;
    double max;
};

Summary summarise(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const auto at = [&values](double q) {
        return values[static_cast<size_t>(q * static_cast<double>(values.size() - 1))];
    };
    return {at(0.5), at(0.9), values.back()};
}

void report(const char* what, const Summary& s, double targetUs)
{
    std::printf("%-44s median %8.1f us   p90 %8.1f us   max %8.1f us   %s\n", what, s.median,
                s.p90, s.max, s.median < targetUs ? "(target met)" : "(TARGET MISSED)");
}

constexpr int64_t ByteNs = 1'041'667;  // ten bits at 9600 baud

// The unit's side of one status exchange: takes the request off the line,
// waits for the time the request takes on a real line and `lateMs` more,
// then sends the reply a byte at a time at the line's pace.
void answerPaced(int master, const std::vector<uint8_t>& reply, int lateMs)
{
    // A unit keeps its pace whatever the host is busy with: where the
    // system lets it, the unit's thread runs before ordinary ones.
    const sched_param first{sched_get_priority_min(SCHED_FIFO)};
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &first);
    constexpr size_t RequestBytes = 14 + 1 + 4;
    uint8_t request[64];
    size_t got = 0;
    while (got < RequestBytes) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 1000) != 1) {
            return;
        }
        const ssize_t n = ::read(master, request, sizeof request);
        if (n <= 0) {
            return;
        }
        got += static_cast<size_t>(n);
    }
    int64_t at = monotonicNs() + static_cast<int64_t>(RequestBytes) * ByteNs +
                 int64_t{lateMs} * 1'000'000;
    for (uint8_t byte : reply) {
        const timespec t{static_cast<time_t>(at / 1'000'000'000), static_cast<long>(at % 1'000'000'000)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) != 0) {
        }
        if (::write(master, &byte, 1) != 1) {
            return;
        }
        at += ByteNs;
    }
}

// Status exchanges against the paced unit: the median wake-ups and CPU of
// the reading thread per exchange.
void exchangeFigures(const char* what, SerialPortVarnoProtocol& port, int master, int lateMs,
                     int rounds)
{
    const UnitAddress unit{1, 2, 3};
    const std::vector<uint8_t> reply =
        varno_sim::buildFrame(HostAddress, unit, FunctionCode::ReadVariable, 5, {24, 0xA4, 0x00});
    std::vector<double> waits;
    std::vector<double> reads;
    std::vector<double> cpu;
    std::vector<double> ms;
    int failed = 0;
    for (int i = 0; i < rounds; ++i) {
        std::thread answer(answerPaced, master, std::cref(reply), lateMs);
        uint16_t status = 0;
        const double cpu0 = cpuSecondsOfThisThread();
        const Clock::time_point t0 = Clock::now();
        varno_test::SyscallCounts counts;
        {
            varno_test::SyscallCounter counter;
            try {
                port.readStatus(unit, status);
            } catch (const Exception&) {
                ++failed;
            }
            counts = counter.counts();
        }
        ms.push_back(microseconds(Clock::now() - t0) / 1000.0);
        cpu.push_back((cpuSecondsOfThisThread() - cpu0) * 1e6);
        answer.join();
        waits.push_back(static_cast<double>(counts.waits));
        reads.push_back(static_cast<double>(counts.reads));
    }
    const Summary w = summarise(waits);
    const Summary r = summarise(reads);
    std::printf("%-44s waits %4.1f (max %2.0f)  reads %4.1f (max %2.0f)  CPU %6.1f us  %6.2f ms%s\n",
                what, w.median, w.max, r.median, r.max, summarise(cpu).median, summarise(ms).median,
                failed > 0 ? "  (SOME FAILED)" : "");
}

}  // namespace

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 40;

    int master = -1;
    int keeper = -1;
    char name[256] = {};
    termios raw{};
    cfmakeraw(&raw);
    if (openpty(&master, &keeper, name, &raw, nullptr) != 0) {
        std::perror("openpty");
        return 1;
    }
    SerialPort port;
    if (!port.open(name, 9600, 'N', 8, OneStopBit)) {
        std::fprintf(stderr, "cannot open %s\n", name);
        return 1;
    }

    std::vector<double> full;
    std::vector<double> shortened;
    for (int i = 0; i < rounds; ++i) {
        full.push_back(lateness(port, master, ReplySize));
        shortened.push_back(lateness(port, master, 10) - InterByteGapUs);
    }

    // A silent line: the read waits out its 20 ms pause and 514 ms limit.
    const int silentReads = 3;
    const double cpuBefore = cpuSecondsOfThisThread();
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < silentReads; ++i) {
        uint8_t reply[ReplySize];
        port.read(reply, ReplySize);
    }
    const double wallUs = microseconds(Clock::now() - start);
    const double cpuUs = (cpuSecondsOfThisThread() - cpuBefore) * 1e6;

    std::printf("serial port on a pseudo-terminal, %d rounds\n", rounds);
    report("full read of 14: last byte to return", summarise(full), 1000.0);
    report("short read of 10/14: past the 6 ms gap", summarise(shortened), 1000.0);
    const double share = 100.0 * cpuUs / wallUs;
    std::printf("%-44s %8.1f ms wall for %d reads, %.1f us CPU = %.3f%%   %s\n",
                "silent line: CPU while waiting", wallUs / 1000.0, silentReads, cpuUs, share,
                share < 1.0 ? "(target met)" : "(TARGET MISSED)");

    // What dropping stale input before every request costs: on an empty
    // line, and with a 21-byte reply left over from an earlier exchange.
    std::vector<double> emptyDiscard;
    std::vector<double> staleDiscard;
    const std::vector<uint8_t> stale(ReplySize + 7, 0x5A);
    for (int i = 0; i < rounds * 25; ++i) {
        Clock::time_point t = Clock::now();
        port.discardInput();
        emptyDiscard.push_back(microseconds(Clock::now() - t));
        if (::write(master, stale.data(), stale.size()) != static_cast<ssize_t>(stale.size())) {
            break;
        }
        pollfd p{keeper, POLLIN, 0};
        poll(&p, 1, 100);  // the bytes are on the line side
        t = Clock::now();
        port.discardInput();
        staleDiscard.push_back(microseconds(Clock::now() - t));
    }
    report("discard of pending input: empty line", summarise(emptyDiscard), 1000.0);
    report("discard of pending input: 21 bytes waiting", summarise(staleDiscard), 1000.0);
    port.close();

    // Whole exchanges: the protocol's two reads, each with its 20 ms pause.
    SerialPortVarnoProtocol protocol(name);
    if (!protocol.isOpen()) {
        std::fprintf(stderr, "cannot open %s\n", name);
        return 1;
    }
    std::printf("status exchange at 9600 baud, per exchange (median of %d; waits and reads of "
                "the reading thread):\n", rounds);
    exchangeFigures("  unit answering at once", protocol, master, 0, rounds);
    exchangeFigures("  unit answering 30 ms late", protocol, master, 30, rounds);
    protocol.close();

    close(keeper);
    close(master);
    return 0;
}
