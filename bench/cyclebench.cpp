// varno_cyclebench: how close varno_cycle comes to the timing that its own
// fixed waits and the line allow, what CPU and memory it takes, and how
// soon after its start the first request is on the line.
//
// Every figure is taken several times and printed as median and range; CPU
// is counted in nanoseconds of run time (/proc/PID/schedstat), not in
// clock ticks.

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/childprocess.h"
#include "support/process.h"

using varno_test::ChildProcess;

namespace {

constexpr int Baud = 9600;
constexpr double ReadPauseMs = 20.0;  // every port read of the tool starts with it
constexpr int PauseMs = 1;            // the tool's pause after each line (-t 1)
// A status exchange: header + variable number + checksum out; header, then
// number + word + checksum back.
constexpr int RequestBytes = 14 + 1 + 4;
constexpr int ReplyHeaderBytes = 14;
constexpr int ReplyDataBytes = 3 + 4;

int64_t nowNs()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

struct Options {
    std::string cycle;
    std::string sim;
    std::string dir;
    int port = 0;
    int samples = 7;
    double seconds = 2.0;  // per sample
    // Paced bytes leave the simulator one at a time, at their own times, as
    // a UART hands them over: its default 2 ms bursts would put up to 2 ms
    // of its own on every reply and hide the figure measured here.
    std::string burstUs = "0";
};

// Median and range of a set of figures.
struct Spread {
    double median = 0;
    double low = 0;
    double high = 0;
};

Spread spread(std::vector<double> v)
{
    Spread s;
    if (v.empty()) {
        return s;
    }
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    s.median = n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
    s.low = v.front();
    s.high = v.back();
    return s;
}

std::string show(const Spread& s, const char* unit, int decimals = 2)
{
    char text[160];
    std::snprintf(text, sizeof text, "%.*f %s  (range %.*f .. %.*f, %s)", decimals, s.median, unit,
                  decimals, s.low, decimals, s.high, "median of samples");
    return text;
}

// Run time of all the threads of a process, in nanoseconds; -1 when gone.
int64_t cpuNs(pid_t pid)
{
    int64_t total = 0;
    std::error_code ec;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& entry : std::filesystem::directory_iterator(tasks, ec)) {
        std::ifstream in(entry.path() / "schedstat");
        long long onCpu = 0;
        if (in >> onCpu) {
            total += onCpu;
        }
    }
    return ec ? -1 : total;
}

// Wake-ups of a process so far: its threads' voluntary context switches
// (every wait that blocked) and its read calls; -1 when gone.
struct Wakeups {
    int64_t waits = 0;
    int64_t reads = 0;
};

Wakeups wakeups(pid_t pid)
{
    Wakeups w;
    std::error_code ec;
    const std::string proc = "/proc/" + std::to_string(pid);
    for (const auto& entry : std::filesystem::directory_iterator(proc + "/task", ec)) {
        std::ifstream in(entry.path() / "status");
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
                w.waits += std::atoll(line.c_str() + 24);
            }
        }
    }
    std::ifstream io(proc + "/io");
    std::string key;
    long long value = 0;
    w.reads = -1;
    while (io >> key >> value) {
        if (key == "syscr:") {
            w.reads = value;
        }
    }
    if (ec) {
        w.waits = -1;
    }
    return w;
}

// A field of /proc/PID/status or smaps_rollup in kB; -1 when missing.
long procKb(pid_t pid, const char* file, const std::string& field)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, field.size() + 1, field + ":") == 0) {
            return std::atol(line.c_str() + field.size() + 1);
        }
    }
    return -1;
}

bool startSim(const Options& o, bool paced, ChildProcess& sim)
{
    std::ofstream(o.dir + "/units.ini") << "[healthy]\naddress = 1.2.3\nstatus = 0x00A4\n"
                                           "[late]\naddress = 1.2.4\nstatus = 0x00A4\nfault = delay 30\n"
                                           "[silent]\naddress = 1.2.5\nfault = silent\n";
    std::vector<std::string> argv = {o.sim, "-p", std::to_string(o.port), "--baud", std::to_string(Baud)};
    if (!paced) {
        argv.push_back("--no-pacing");
    } else {
        argv.insert(argv.end(), {"--burst", o.burstUs});
    }
    argv.push_back("units.ini");
    std::string line;
    return sim.start(argv, o.dir) && sim.readLine(line, 10000) && line.find("listening") != std::string::npos;
}

bool startCycle(const Options& o, int port, const std::string& address, ChildProcess& cycle)
{
    std::ofstream(o.dir + "/commands.txt") << "status\n";
    std::ofstream(o.dir + "/addresses.txt") << address << "\n";
    return cycle.start({o.cycle, "-p", std::to_string(port), "-t", std::to_string(PauseMs), "-c", "commands.txt",
                        "-a", "addresses.txt"},
                       o.dir);
}

void stop(ChildProcess& cycle)
{
    cycle.signal(SIGTERM);
    if (!cycle.wait(5000)) {
        cycle.signal(SIGKILL);
        cycle.wait(5000);
    }
}

struct ExchangeFigures {
    Spread msPerLine;
    Spread cpuUsPerExchange;
    Spread waitsPerExchange;
    Spread readsPerExchange;
    long peakRssKb = -1;
    long privateKb = -1;
    int exchanges = 0;
};

// Time between report lines while the tool polls the healthy unit, in
// samples of o.seconds each; the tool's CPU per exchange in each sample.
bool timeExchanges(const Options& o, const std::string& address, ExchangeFigures& f)
{
    ChildProcess cycle;
    std::string line;
    if (!startCycle(o, o.port, address, cycle) || !cycle.readLine(line, 10000)) {
        return false;
    }
    // The first exchanges warm up caches and the simulator, which may still
    // be sending a reply to the tool stopped before this one: those lines
    // are not judged.
    for (int i = 0; i < 5; ++i) {
        if (!cycle.readLine(line, 5000)) {
            std::fprintf(stderr, "cyclebench: no line from the tool\n");
            stop(cycle);
            return false;
        }
    }
    std::vector<double> ms;
    std::vector<double> cpu;
    std::vector<double> waits;
    std::vector<double> reads;
    int64_t last = nowNs();  // the line just read
    for (int s = 0; s < o.samples; ++s) {
        const int64_t first = last;
        const int64_t cpu0 = cpuNs(cycle.pid());
        const Wakeups wake0 = wakeups(cycle.pid());
        const int64_t end = first + static_cast<int64_t>(o.seconds * 1e9);
        int count = 0;
        while (last < end) {
            if (!cycle.readLine(line, 5000) || line.find("Status: 0x00A4") == std::string::npos) {
                std::fprintf(stderr, "cyclebench: failed exchange '%s'\n", line.c_str());
                stop(cycle);
                return false;
            }
            last = nowNs();
            ++count;
        }
        const int64_t cpu1 = cpuNs(cycle.pid());
        const Wakeups wake1 = wakeups(cycle.pid());
        ms.push_back(static_cast<double>(last - first) / 1e6 / count);
        cpu.push_back(static_cast<double>(cpu1 - cpu0) / 1e3 / count);
        waits.push_back(static_cast<double>(wake1.waits - wake0.waits) / count);
        reads.push_back(static_cast<double>(wake1.reads - wake0.reads) / count);
        f.exchanges += count;
    }
    f.peakRssKb = procKb(cycle.pid(), "status", "VmHWM");
    const long clean = procKb(cycle.pid(), "smaps_rollup", "Private_Clean");
    const long dirty = procKb(cycle.pid(), "smaps_rollup", "Private_Dirty");
    f.privateKb = clean < 0 || dirty < 0 ? -1 : clean + dirty;
    stop(cycle);
    f.msPerLine = spread(ms);
    f.cpuUsPerExchange = spread(cpu);
    f.waitsPerExchange = spread(waits);
    f.readsPerExchange = spread(reads);
    return true;
}

// CPU share of the tool while every exchange waits out a silent unit.
bool silentCpu(const Options& o, Spread& percent)
{
    ChildProcess cycle;
    std::string line;
    if (!startCycle(o, o.port, "1.2.5", cycle) || !cycle.readLine(line, 10000) ||
        !cycle.readLine(line, 5000)) {  // the first "No answer": polling is under way
        stop(cycle);
        return false;
    }
    std::vector<double> shares;
    for (int s = 0; s < std::max(3, o.samples / 2); ++s) {
        const int64_t cpu0 = cpuNs(cycle.pid());
        const int64_t t0 = nowNs();
        const int64_t end = t0 + static_cast<int64_t>(o.seconds * 1e9);
        while (nowNs() < end) {
            const int left = static_cast<int>((end - nowNs()) / 1'000'000) + 1;
            if (!cycle.readLine(line, left) && !cycle.running()) {
                return false;
            }
        }
        const int64_t cpu1 = cpuNs(cycle.pid());
        shares.push_back(100.0 * static_cast<double>(cpu1 - cpu0) / static_cast<double>(nowNs() - t0));
    }
    stop(cycle);
    percent = spread(shares);
    return true;
}

// From the start of the process to the first request byte on the line: the
// benchmark plays the line itself on a pseudo-terminal.
bool firstRequestByte(const Options& o, Spread& ms)
{
    const int port = o.port + 1;
    std::vector<double> times;
    for (int s = 0; s < o.samples; ++s) {
        int master = -1;
        int slave = -1;
        char name[256] = {};
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
            return false;
        }
        const std::string link = o.dir + "/COM" + std::to_string(port);
        std::filesystem::remove(link);
        std::filesystem::create_symlink(name, link);
        ChildProcess cycle;
        const int64_t t0 = nowNs();
        bool ok = startCycle(o, port, "1.2.3", cycle);
        pollfd p{master, POLLIN, 0};
        ok = ok && poll(&p, 1, 10000) == 1;
        const int64_t t1 = nowNs();
        stop(cycle);
        close(slave);
        close(master);
        std::filesystem::remove(link);
        if (!ok) {
            return false;
        }
        times.push_back(static_cast<double>(t1 - t0) / 1e6);
    }
    ms = spread(times);
    return true;
}

// The fixed waits of one exchange alone (two read pauses and the pause
// after the line) in a minimal loop, with the given timer slack.
Spread minimalLoop(unsigned long slackNs)
{
    const unsigned long kept = static_cast<unsigned long>(prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0));
    prctl(PR_SET_TIMERSLACK, slackNs, 0, 0, 0);
    auto sleepFor = [](int64_t ns) {
        timespec t{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
        while (clock_nanosleep(CLOCK_MONOTONIC, 0, &t, &t) == EINTR) {
        }
    };
    std::vector<double> ms;
    for (int s = 0; s < 7; ++s) {
        const int rounds = 25;
        const int64_t t0 = nowNs();
        for (int i = 0; i < rounds; ++i) {
            sleepFor(20'000'000);
            sleepFor(20'000'000);
            sleepFor(1'000'000);
        }
        ms.push_back(static_cast<double>(nowNs() - t0) / 1e6 / rounds);
    }
    prctl(PR_SET_TIMERSLACK, kept, 0, 0, 0);
    return spread(ms);
}

void printExchange(const char* title, double floorMs, const char* floorWhy, const ExchangeFigures& f)
{
    const double over = 100.0 * (f.msPerLine.median - floorMs) / floorMs;
    std::printf("%s\n", title);
    std::printf("  time per line       %s\n", show(f.msPerLine, "ms").c_str());
    std::printf("  overlapped floor    %.2f ms  %s\n", floorMs, floorWhy);
    std::printf("  over the floor      %+.2f%%  %s\n", over,
                over <= 1.0 ? "(target at most +1%: met)" : "(target at most +1%: MISSED)");
    std::printf("  CPU per exchange    %s\n", show(f.cpuUsPerExchange, "us").c_str());
    std::printf("  wake-ups            %.1f blocking waits, %.1f reads per exchange  (ranges %.1f .. %.1f, "
                "%.1f .. %.1f)\n",
                f.waitsPerExchange.median, f.readsPerExchange.median, f.waitsPerExchange.low,
                f.waitsPerExchange.high, f.readsPerExchange.low, f.readsPerExchange.high);
    std::printf("  memory              peak RSS %ld kB, private %ld kB  (%d exchanges)\n", f.peakRssKb,
                f.privateKb, f.exchanges);
}

}  // namespace

int main(int argc, char** argv)
{
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--cycle") {
            o.cycle = argv[i + 1];
        } else if (a == "--sim") {
            o.sim = argv[i + 1];
        } else if (a == "--seconds") {
            o.seconds = std::atof(argv[i + 1]);
        } else if (a == "--samples") {
            o.samples = std::atoi(argv[i + 1]);
        } else if (a == "--burst") {
            o.burstUs = argv[i + 1];
        }
    }
    if (o.cycle.empty() || o.sim.empty() || o.seconds <= 0 || o.samples < 1) {
        std::fprintf(stderr,
                     "Usage: varno_cyclebench --cycle PATH --sim PATH [--samples N] [--seconds S per sample]\n"
                     "                        [--burst US (the simulator's paced bursts, default 0: a byte at a time)]\n");
        return 1;
    }
    // The children start in the working directory: the paths must not be relative.
    o.cycle = std::filesystem::absolute(o.cycle).string();
    o.sim = std::filesystem::absolute(o.sim).string();
    std::unique_ptr<varno_test::TempDir> dir;
    try {
        dir = std::make_unique<varno_test::TempDir>();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "cyclebench: %s\n", e.what());
        return 1;
    }
    o.dir = dir->path();
    o.port = 9000 + (getpid() % 450) * 2;

    const double byteMs = 10.0 * 1000.0 / Baud;  // start, eight data bits, stop
    // The first read's pause runs while the request and the reply header
    // travel; the data block is in before the second pause ends.
    const double pacedFloor = std::max(ReadPauseMs, (RequestBytes + ReplyHeaderBytes) * byteMs) +
                              std::max(ReadPauseMs, ReplyDataBytes * byteMs) + PauseMs;
    const double waitsFloor = 2 * ReadPauseMs + PauseMs;
    // The late reply's header ends well after the first pause.
    const double lateFloor = (RequestBytes + ReplyHeaderBytes) * byteMs + 30.0 +
                             std::max(ReadPauseMs, ReplyDataBytes * byteMs) + PauseMs;
    const double serialFloor = 2 * ReadPauseMs + (RequestBytes + ReplyHeaderBytes + ReplyDataBytes) * byteMs + PauseMs;

    ExchangeFigures unpaced;
    ExchangeFigures paced;
    ExchangeFigures late;
    Spread silent;
    Spread first;
    const char* failed = nullptr;
    {
        ChildProcess sim;
        failed = !startSim(o, false, sim)        ? "starting the simulator (no pacing)"
                 : !timeExchanges(o, "1.2.3", unpaced) ? "timing the healthy unit (no pacing)"
                                                  : nullptr;
        stop(sim);
    }
    if (failed == nullptr) {
        ChildProcess sim;
        failed = !startSim(o, true, sim)      ? "starting the simulator (9600 baud)"
                 : !timeExchanges(o, "1.2.3", paced) ? "timing the healthy unit (9600 baud)"
                 : !timeExchanges(o, "1.2.4", late)  ? "timing the late unit (9600 baud)"
                 : !silentCpu(o, silent)     ? "watching the silent unit"
                                             : nullptr;
        stop(sim);
    }
    if (failed == nullptr && !firstRequestByte(o, first)) {
        failed = "waiting for the first request byte";
    }
    dir.reset();
    if (failed != nullptr) {
        std::fprintf(stderr, "cyclebench: failed %s\n", failed);
        return 1;
    }

    std::printf("varno_cycle status exchanges, -t %d, %d samples of %.1f s each\n\n", PauseMs, o.samples,
                o.seconds);
    printExchange("replies at once (the fixed waits alone)", waitsFloor, "(2 x 20 ms read pause + 1 ms pause)",
                  unpaced);
    char why[160];
    std::snprintf(why, sizeof why, "(max(20, %d bytes) + max(20, %d bytes) + 1 ms, %.3f ms a byte)",
                  RequestBytes + ReplyHeaderBytes, ReplyDataBytes, byteMs);
    std::printf("\n");
    printExchange("9600 baud line", pacedFloor, why, paced);
    if (o.burstUs != "0") {
        std::printf("  (the simulator sends paced bytes in bursts of about %s us: up to that much of the excess is its own)\n",
                    o.burstUs.c_str());
    } else {
        std::printf("  (the simulator sends each paced byte at its own time)\n");
    }
    std::printf("  (fully serialised, as once gated on: %.2f ms)\n\n", serialFloor);
    std::snprintf(why, sizeof why, "(%d bytes + 30 ms + %d bytes + max(20, %d bytes) + 1 ms)",
                  RequestBytes, ReplyHeaderBytes, ReplyDataBytes);
    printExchange("9600 baud line, unit answering 30 ms late", lateFloor, why, late);
    std::printf("\n");
    const Spread loopDefault = minimalLoop(50'000);
    const Spread loopTight = minimalLoop(1);
    std::printf("minimal loop of the same fixed waits (20 + 20 + 1 ms):\n");
    std::printf("  timer slack 50 us   %s\n", show(loopDefault, "ms", 3).c_str());
    std::printf("  timer slack 1 ns    %s\n\n", show(loopTight, "ms", 3).c_str());
    std::printf("CPU share polling a silent unit   %s  %s\n", show(silent, "%", 3).c_str(),
                silent.median < 1.0 ? "(under 1%)" : "(NOT under 1%)");
    std::printf("start to first request byte       %s\n", show(first, "ms").c_str());
    return 0;
}
