// How promptly SerialPort::read returns, and what waiting costs, measured
// on a pseudo-terminal whose master side plays the unit:
//  - full read: from the write of the last expected byte to the return;
//  - short read: the same, less the 6 ms inter-byte gap that ends it;
//  - silent line: CPU time of the reading thread over its wall time.
// Targets: under 1 ms of added latency, under 1% CPU while waiting.
//
//   serialbench [rounds]     (default 40)

#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "serial/serialport.h"

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
    close(keeper);
    close(master);
    return 0;
}
