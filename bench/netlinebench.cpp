// Exchange time on network lines against a local pseudo-terminal line,
// and how far apart the pieces of one reply arrive from a device server.
//
//   netlinebench [--rounds N] [--pieces HOST:PORT] NAME...
//
// For each NAME (a device name as varno_cycle's -p takes it, e.g. COM7 or
// tcp://127.0.0.1:4000) it times N status exchanges with unit 1.2.3 and
// prints the median and mean. --pieces sends the same request on a raw TCP
// connection N times and prints the largest separation between two pieces
// of one reply. bench/netlinebench.sh sets up the simulator and ser2net.
// Target: a loopback network line within 2% of the local line.

#include <netdb.h>
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
#include <string>
#include <thread>
#include <vector>

#include "base/error.h"
#include "protocol/frame.h"
#include "protocol/serialportvarnoprotocol.h"

using namespace mirel_varno;
using Clock = std::chrono::steady_clock;

namespace {

const UnitAddress Unit{1, 2, 3};

double ms(Clock::duration d)
{
    return static_cast<double>(std::chrono::duration_cast<std::chrono::microseconds>(d).count()) /
           1000.0;
}

// Times the exchanges on one line; the median, or 0 when none succeeded.
double exchanges(const std::string& name, int rounds, double reference)
{
    SerialPortVarnoProtocol port(name.c_str());
    if (!port.isOpen()) {
        std::printf("%-40s cannot open: %s\n", name.c_str(), port.openFailure().c_str());
        return 0;
    }
    port.setTimeouts(1, 0);
    std::vector<double> times;
    int failures = 0;
    for (int i = 0; i < rounds + 3; ++i) {
        uint16_t status = 0;
        const Clock::time_point start = Clock::now();
        try {
            port.readStatus(Unit, status);
        } catch (const Exception&) {
            ++failures;
            continue;
        }
        if (i >= 3) {  // the first ones warm up the line and the server
            times.push_back(ms(Clock::now() - start));
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
    const double median = times[times.size() / 2];
    std::printf("%-34s %3zu exchanges: median %6.2f ms, mean %6.2f ms, max %6.2f ms, %d failed",
                name.c_str(), times.size(), median, sum / static_cast<double>(times.size()),
                times.back(), failures);
    if (reference > 0) {
        std::printf(", median %+.1f%% against the first line", (median / reference - 1) * 100);
    }
    std::printf("\n");
    return median;
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

}  // namespace

int main(int argc, char** argv)
{
    int rounds = 50;
    std::vector<std::string> names;
    std::vector<std::string> piecesFrom;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--rounds" && i + 1 < argc) {
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
    double reference = 0;
    for (const std::string& name : names) {
        // A device server lets go of the line a moment after the last
        // connection closed; one that finds it still held hangs up.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const double median = exchanges(name, rounds, reference);
        if (reference == 0) {
            reference = median;
        }
    }
    return 0;
}
