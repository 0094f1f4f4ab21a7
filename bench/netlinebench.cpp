// Exchange time on network lines against a local pseudo-terminal line,
// and how far apart the pieces of one reply arrive from a device server.
//
//   netlinebench [--rounds N] [--pieces HOST:PORT] [--cycle PATH --first NAME]... NAME...
//
// For each NAME (a device name as varno_cycle's -p takes it, e.g. COM7 or
// tcp://127.0.0.1:4000) it times N status exchanges with unit 1.2.3, which
// answers at once, and with unit 1.2.4, which answers 30 ms late, and
// prints the median and mean, and the reading thread's wake-ups (blocking
// waits and reads) per exchange. --pieces sends the same request on a raw TCP
// connection N times and prints the largest separation between two pieces
// of one reply. --first starts the varno_cycle at PATH on the line five
// times and prints how long its first report line took (open, negotiation
// and one exchange). bench/netlinebench.sh sets up the simulator and ser2net.
// Target: a loopback network line within 2% of the local line.

#include <netdb.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "base/error.h"
#include "protocol/frame.h"
#include "protocol/serialportvarnoprotocol.h"
#include "support/syscallcount.h"

using namespace mirel_varno;
using Clock = std::chrono::steady_clock;

namespace {

const UnitAddress Unit{1, 2, 3};
const UnitAddress LateUnit{1, 2, 4};

template <typename T>
T median(std::vector<T> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? T{} : v[v.size() / 2];
}

double ms(Clock::duration d)
{
    return static_cast<double>(std::chrono::duration_cast<std::chrono::microseconds>(d).count()) /
           1000.0;
}

// Times the exchanges with one unit on one line; the median, or 0 when
// none succeeded.
double exchanges(const std::string& name, const UnitAddress& unit, int rounds, double reference)
{
    SerialPortVarnoProtocol port(name.c_str());
    if (!port.isOpen()) {
        std::printf("%-40s cannot open: %s\n", name.c_str(), port.openFailure().c_str());
        return 0;
    }
    port.setTimeouts(1, 0);
    std::vector<double> times;
    std::vector<uint64_t> waits;
    std::vector<uint64_t> reads;
    int failures = 0;
    for (int i = 0; i < rounds + 3; ++i) {
        uint16_t status = 0;
        const Clock::time_point start = Clock::now();
        varno_test::SyscallCounts counts;
        try {
            varno_test::SyscallCounter counter;
            port.readStatus(unit, status);
            counts = counter.counts();
        } catch (const Exception&) {
            ++failures;
            continue;
        }
        if (i >= 3) {  // the first ones warm up the line and the server
            times.push_back(ms(Clock::now() - start));
            waits.push_back(counts.waits);
            reads.push_back(counts.reads);
        }
    }
    if (times.empty()) {
        std::printf("%-40s no exchange succeeded\n", name.c_str());
        return 0;
    }
    std::sort(times.begin(), times.end());
    double sum = 0;
    for (const double t : times) {
        sum += t;
    }
    const double middle = times[times.size() / 2];
    std::printf("%-34s %-10s %3zu exchanges: median %6.2f ms, mean %6.2f ms, max %6.2f ms, "
                "%d failed; wake-ups: %2llu waits, %2llu reads",
                name.c_str(), unit == LateUnit ? "30 ms late" : "at once", times.size(), middle,
                sum / static_cast<double>(times.size()), times.back(), failures,
                static_cast<unsigned long long>(median(waits)),
                static_cast<unsigned long long>(median(reads)));
    if (reference > 0) {
        std::printf(", median %+.1f%% against the first line", (middle / reference - 1) * 100);
    }
    std::printf("\n");
    return middle;
}

int connectTo(const std::string& hostPort)
{
    const size_t colon = hostPort.rfind(':');
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (colon == std::string::npos ||
        getaddrinfo(hostPort.substr(0, colon).c_str(), hostPort.substr(colon + 1).c_str(), &hints,
                    &found) != 0) {
        return -1;
    }
    int fd = socket(found->ai_family, found->ai_socktype, found->ai_protocol);
    if (fd >= 0 && connect(fd, found->ai_addr, found->ai_addrlen) != 0) {
        close(fd);
        fd = -1;
    }
    freeaddrinfo(found);
    return fd;
}

void pieces(const std::string& hostPort, int rounds)
{
    const int fd = connectTo(hostPort);
    const int on = 1;
    if (fd < 0) {
        std::printf("pieces: cannot connect to %s\n", hostPort.c_str());
        return;
    }
    const FrameHeader header =
        makeHeader(Unit, UnitAddress{1, 1, 1}, FunctionCode::ReadVariable, DataType::Word, 1);
    uint8_t request[FrameHeaderSize + 5];
    std::memcpy(request, header.bytes, FrameHeaderSize);
    request[FrameHeaderSize] = 24;  // the status variable
    appendChecksum(request + FrameHeaderSize, 1);
    const size_t replySize = FrameHeaderSize + 3 + FrameChecksumSize;

    double largest = 0;
    std::vector<double> separations;
    int pieceCount = 0;
    for (int i = 0; i < rounds; ++i) {
        if (send(fd, request, sizeof request, 0) != static_cast<ssize_t>(sizeof request)) {
            break;
        }
        size_t got = 0;
        Clock::time_point last{};
        while (got < replySize) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 1000) != 1) {
                break;
            }
            uint8_t buffer[64];
            const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                break;
            }
            // As the network line does: acknowledge at once, so that a
            // server holding its next piece for our acknowledgement sends it.
            setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
            const Clock::time_point now = Clock::now();
            if (got > 0) {
                const double s = ms(now - last);
                separations.push_back(s);
                largest = std::max(largest, s);
            }
            ++pieceCount;
            last = now;
            got += static_cast<size_t>(n);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    close(fd);
    std::sort(separations.begin(), separations.end());
    std::printf("pieces from %s: %d pieces in %d replies of %zu bytes; separation median %.2f ms, "
                "largest %.2f ms\n",
                hostPort.c_str(), pieceCount, rounds, replySize,
                separations.empty() ? 0.0 : separations[separations.size() / 2], largest);
}

// Milliseconds from starting varno_cycle on the line until its first
// report line, or a negative number when none came within 10 s.
double firstReport(const std::string& cycle, const std::string& name, const std::string& dir)
{
    int out[2];
    int keys[2];
    if (pipe(out) != 0 || pipe(keys) != 0) {
        return -1;
    }
    const std::string addresses = dir + "/addresses.txt";
    const std::string commands = dir + "/commands.txt";
    std::ofstream(addresses) << "1.2.3\n";
    std::ofstream(commands) << "status\n";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, keys[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, keys[1]);
    std::vector<std::string> args = {cycle, "-p", name, "-t", "20", "-c", commands, "-a", addresses};
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    const Clock::time_point start = Clock::now();
    const int spawned = posix_spawn(&pid, cycle.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(keys[0]);
    double took = -1;
    int lines = 0;
    while (spawned == 0 && lines < 2) {
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, 10000) != 1) {
            break;
        }
        char buffer[512];
        const ssize_t n = read(out[0], buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        lines += static_cast<int>(std::count(buffer, buffer + n, '\n'));
        if (lines >= 2) {
            took = ms(Clock::now() - start);
        }
    }
    if (spawned == 0) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    close(out[0]);
    close(keys[1]);
    return took;
}

}  // namespace

int main(int argc, char** argv)
{
    int rounds = 50;
    std::vector<std::string> names;
    std::vector<std::string> piecesFrom;
    std::vector<std::string> firstOn;
    std::string cycle;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--cycle" && i + 1 < argc) {
            cycle = argv[++i];
        } else if (a == "--first" && i + 1 < argc) {
            firstOn.push_back(argv[++i]);
        } else if (a == "--rounds" && i + 1 < argc) {
            rounds = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--pieces" && i + 1 < argc) {
            piecesFrom.push_back(argv[++i]);
        } else {
            names.push_back(a);
        }
    }
    for (const std::string& hostPort : piecesFrom) {
        pieces(hostPort, rounds);
    }
    char dir[] = "/tmp/netlinebench.XXXXXX";
    for (const std::string& name : firstOn) {
        if (cycle.empty() || mkdtemp(dir) == nullptr) {
            std::printf("--first needs --cycle PATH\n");
            break;
        }
        std::vector<double> times;
        for (int i = 0; i < 5; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            times.push_back(firstReport(cycle, name, dir));
        }
        std::sort(times.begin(), times.end());
        std::printf("%-34s first report line after %7.1f ms (median of 5; fastest %.1f, slowest %.1f)\n",
                    name.c_str(), times[2], times[0], times[4]);
        std::remove((std::string(dir) + "/addresses.txt").c_str());
        std::remove((std::string(dir) + "/commands.txt").c_str());
        rmdir(dir);
        std::strcpy(dir, "/tmp/netlinebench.XXXXXX");
    }
    for (const UnitAddress& unit : {Unit, LateUnit}) {
        double reference = 0;
        for (const std::string& name : names) {
            // A device server lets go of the line a moment after the last
            // connection closed; one that finds it still held hangs up.
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            const double middle = exchanges(name, unit, rounds, reference);
            if (reference == 0) {
                reference = middle;
            }
        }
    }
    return 0;
}
