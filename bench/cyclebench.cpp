// varno_cyclebench: how close varno_cycle comes to the line's own timing
// on a simulated 9600-baud line, and what CPU it takes while it waits on a
// unit that never answers.

#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/childprocess.h"

using varno_sim::ChildProcess;
using varno_sim::monotonicMillis;

namespace {

constexpr int Baud = 9600;
// 10 bits a byte on the line: start, eight data bits, stop.
constexpr double ByteMs = 10.0 * 1000.0 / Baud;
constexpr double ReadPauseMs = 20.0;
// A status exchange: header + variable number + checksum out; header +
// number + word + checksum back.
constexpr int RequestBytes = 14 + 1 + 4;
constexpr int ReplyBytes = 14 + 3 + 4;
constexpr int ReplyHeaderBytes = 14;
constexpr int PauseMs = 1;  // the smallest pause the tool accepts

struct Bench {
    std::string cycle;
    std::string sim;
    std::string dir;
    int port = 0;
    double seconds = 5.0;
};

bool startSim(const Bench& b, ChildProcess& sim)
{
    std::ofstream(b.dir + "/units.ini") << "[healthy]\naddress = 1.2.3\nstatus = 0x00A4\n"
                                           "[silent]\naddress = 1.2.5\nfault = silent\n";
    if (!sim.start({b.sim, "-p", std::to_string(b.port), "--baud", std::to_string(Baud), "units.ini"}, b.dir)) {
        return false;
    }
    std::string line;
    return sim.readLine(line, 10000) && line.find("listening") != std::string::npos;
}

bool startCycle(const Bench& b, const std::string& address, ChildProcess& cycle)
{
    std::ofstream(b.dir + "/commands.txt") << "status\n";
    std::ofstream(b.dir + "/addresses.txt") << address << "\n";
    if (!cycle.start({b.cycle, "-p", std::to_string(b.port), "-t", std::to_string(PauseMs), "-c", "commands.txt",
                      "-a", "addresses.txt"},
                     b.dir)) {
        return false;
    }
    std::string line;
    return cycle.readLine(line, 10000) && line.rfind("Initializing", 0) == 0;
}

void stop(ChildProcess& cycle)
{
    cycle.writeStdin("q");
    if (!cycle.wait(5000)) {
        cycle.signal(SIGKILL);
        cycle.wait(5000);
    }
}

// utime + stime of a process, in clock ticks.
long cpuTicks(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close = all.rfind(')');
    if (close == std::string::npos) {
        return -1;
    }
    std::istringstream fields(all.substr(close + 2));
    std::string f;
    long utime = 0;
    long stime = 0;
    // Fields from the state (3rd) on; utime is the 14th, stime the 15th.
    for (int i = 3; i <= 15 && fields >> f; ++i) {
        if (i == 14) {
            utime = std::atol(f.c_str());
        } else if (i == 15) {
            stime = std::atol(f.c_str());
        }
    }
    return utime + stime;
}

// Mean time between report lines while polling the healthy unit.
bool exchangeTime(const Bench& b, double& msPerExchange, int& exchanges)
{
    ChildProcess cycle;
    if (!startCycle(b, "1.2.3", cycle)) {
        return false;
    }
    std::string line;
    // The first exchanges warm up caches and the simulator.
    for (int i = 0; i < 3; ++i) {
        if (!cycle.readLine(line, 5000) || line.find("Status: 0x00A4") == std::string::npos) {
            std::fprintf(stderr, "cyclebench: unexpected line '%s'\n", line.c_str());
            stop(cycle);
            return false;
        }
    }
    const int64_t start = monotonicMillis();
    const int64_t end = start + static_cast<int64_t>(b.seconds * 1000);
    int64_t last = start;
    exchanges = 0;
    while (monotonicMillis() < end && cycle.readLine(line, 5000)) {
        if (line.find("Status: 0x00A4") == std::string::npos) {
            std::fprintf(stderr, "cyclebench: failed exchange '%s'\n", line.c_str());
            stop(cycle);
            return false;
        }
        last = monotonicMillis();
        ++exchanges;
    }
    stop(cycle);
    if (exchanges == 0) {
        return false;
    }
    msPerExchange = static_cast<double>(last - start) / exchanges - PauseMs;
    return true;
}

bool cpuShare(const Bench& b, double& percent)
{
    ChildProcess cycle;
    if (!startCycle(b, "1.2.5", cycle)) {
        return false;
    }
    std::string line;
    if (!cycle.readLine(line, 5000)) {  // first "No answer": polling is under way
        stop(cycle);
        return false;
    }
    const long ticks0 = cpuTicks(cycle.pid());
    const int64_t t0 = monotonicMillis();
    const int64_t end = t0 + static_cast<int64_t>(b.seconds * 1000);
    // Stops early if the output ends: a closed pipe would answer at once.
    while (monotonicMillis() < end &&
           cycle.readLine(line, static_cast<int>(end - monotonicMillis()) + 1)) {
    }
    const long ticks1 = cpuTicks(cycle.pid());
    const int64_t t1 = monotonicMillis();
    stop(cycle);
    if (ticks0 < 0 || ticks1 < 0) {
        return false;
    }
    const double cpuMs = static_cast<double>(ticks1 - ticks0) * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
    percent = 100.0 * cpuMs / static_cast<double>(t1 - t0);
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    Bench b;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--cycle") {
            b.cycle = argv[i + 1];
        } else if (a == "--sim") {
            b.sim = argv[i + 1];
        } else if (a == "--seconds") {
            b.seconds = std::atof(argv[i + 1]);
        }
    }
    if (b.cycle.empty() || b.sim.empty() || b.seconds <= 0) {
        std::fprintf(stderr, "Usage: varno_cyclebench --cycle PATH --sim PATH [--seconds N]\n");
        return 1;
    }
    // The children start in the working directory: the paths must not be relative.
    b.cycle = std::filesystem::absolute(b.cycle).string();
    b.sim = std::filesystem::absolute(b.sim).string();
    std::string pattern = (std::filesystem::temp_directory_path() / "varno-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        std::perror("cyclebench: mkdtemp");
        return 1;
    }
    b.dir = pattern;
    b.port = 9000 + getpid() % 900;

    ChildProcess sim;
    double ms = 0;
    int exchanges = 0;
    double cpu = 0;
    const char* failed = !startSim(b, sim)                  ? "starting the simulator"
                         : !exchangeTime(b, ms, exchanges) ? "timing the healthy unit"
                         : !cpuShare(b, cpu)               ? "watching the silent unit"
                                                           : nullptr;
    sim.signal(SIGTERM);
    sim.wait(5000);
    std::filesystem::remove_all(b.dir);
    if (failed != nullptr) {
        std::fprintf(stderr, "cyclebench: failed %s\n", failed);
        return 1;
    }

    const double floor = 2 * ReadPauseMs + (RequestBytes + ReplyBytes) * ByteMs;
    // The pause before the first read overlaps the request and the reply
    // header on the wire; the data block is in before the second pause ends.
    const double overlapFloor =
        std::max(ReadPauseMs, (RequestBytes + ReplyHeaderBytes) * ByteMs) + ReadPauseMs;
    std::printf("status exchange at %d baud (%d exchanges, %.1f s, pause of %d ms taken off)\n", Baud, exchanges,
                b.seconds, PauseMs);
    std::printf("  measured            %7.2f ms\n", ms);
    std::printf("  floor               %7.2f ms  (2 x %.0f ms pause + %d bytes x %.3f ms)  -> %+.1f%%  %s\n", floor,
                ReadPauseMs, RequestBytes + ReplyBytes, ByteMs, 100.0 * (ms - floor) / floor,
                ms <= floor * 1.05 ? "(target at most +5%: met)" : "(target at most +5%: MISSED)");
    std::printf("  overlapped floor    %7.2f ms  (first pause runs while the request and reply header travel) -> %+.1f%%\n",
                overlapFloor, 100.0 * (ms - overlapFloor) / overlapFloor);
    std::printf("CPU of varno_cycle polling a silent unit: %.2f%% over %.1f s  %s\n", cpu, b.seconds,
                cpu < 1.0 ? "(under 1%)" : "(NOT under 1%)");
    return 0;
}
