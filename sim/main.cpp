// varno_unitsim: simulated Varno units on a pseudo-terminal (or a real
// serial device), for running varno_cycle and the library without hardware.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include <wx/init.h>

#include "base/clock.h"
#include "sim/control.h"
#include "sim/simconfig.h"
#include "sim/simulator.h"
#include "sim/ttylink.h"

using namespace varno_sim;

namespace {

int wakePipe[2] = {-1, -1};

void onSignal(int)
{
    const int saved = errno;
    const char c = 's';
    // Nothing to do if the pipe is full: a wake-up is already pending.
    ssize_t ignored = write(wakePipe[1], &c, 1);
    (void)ignored;
    errno = saved;
}

int64_t nowNs()
{
    return mirel_varno::monotonicNs();
}

struct Options {
    std::string config;
    std::string link = "COM1";
    std::string device;
    std::string control;
    int baud = 9600;
    bool pacing = true;
    // Paced bytes leave in bursts of about this long, well inside the
    // host's 6 ms gap between two bytes of one read; 0 sends each byte at
    // its own time, as a UART without a receive FIFO delivers it.
    int64_t burstNs = 2'000'000;
    bool log = false;
};

void usage(FILE* out)
{
    std::fprintf(out,
        "Usage: varno_unitsim [options] <units.ini>\n"
        "  -p, --port N        link the line as COMN in the current directory (default COM1)\n"
        "      --link NAME     link the line under this name instead\n"
        "      --device PATH   serve an existing serial device instead of a pseudo-terminal\n"
        "  -b, --baud RATE     line speed for pacing (default 9600)\n"
        "      --no-pacing     send replies at once instead of at the line speed\n"
        "      --burst US      paced bytes leave in bursts of about US microseconds\n"
        "                      (default 2000; 0: each byte at its own time)\n"
        "      --control PATH  read commands from this pipe (created if missing)\n"
        "      --log           log every exchange to standard error\n"
        "  -h, --help          this text\n");
}

bool parseOptions(int argc, char** argv, Options& o)
{
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "varno_unitsim: %s needs a value\n", a.c_str());
                return false;
            }
            out = argv[++i];
            return true;
        };
        std::string v;
        if (a == "-h" || a == "--help") {
            usage(stdout);
            std::exit(0);
        } else if (a == "-p" || a == "--port") {
            if (!value(v)) {
                return false;
            }
            char* end = nullptr;
            const long n = std::strtol(v.c_str(), &end, 10);
            if (v.empty() || *end != '\0' || n < 0 || n > 99999999) {
                std::fprintf(stderr, "varno_unitsim: bad port number '%s'\n", v.c_str());
                return false;
            }
            o.link = "COM" + std::to_string(n);
        } else if (a == "--link") {
            if (!value(o.link)) {
                return false;
            }
        } else if (a == "--device") {
            if (!value(o.device)) {
                return false;
            }
        } else if (a == "-b" || a == "--baud") {
            if (!value(v)) {
                return false;
            }
            o.baud = std::atoi(v.c_str());
            if (o.baud < 300 || o.baud > 4000000) {
                std::fprintf(stderr, "varno_unitsim: bad baud rate '%s'\n", v.c_str());
                return false;
            }
        } else if (a == "--no-pacing") {
            o.pacing = false;
        } else if (a == "--burst") {
            if (!value(v)) {
                return false;
            }
            char* end = nullptr;
            const long us = std::strtol(v.c_str(), &end, 10);
            if (v.empty() || *end != '\0' || us < 0 || us > 5000) {
                std::fprintf(stderr, "varno_unitsim: bad burst '%s' (0 to 5000 microseconds)\n",
                             v.c_str());
                return false;
            }
            o.burstNs = us * 1000;
        } else if (a == "--control") {
            if (!value(o.control)) {
                return false;
            }
        } else if (a == "--log") {
            o.log = true;
        } else if (!a.empty() && a[0] == '-') {
            std::fprintf(stderr, "varno_unitsim: unknown option %s\n", a.c_str());
            return false;
        } else if (o.config.empty()) {
            o.config = a;
        } else {
            std::fprintf(stderr, "varno_unitsim: more than one configuration file\n");
            return false;
        }
    }
    if (o.config.empty()) {
        std::fprintf(stderr, "varno_unitsim: no configuration file given\n");
        return false;
    }
    return true;
}

// The control pipe: a FIFO read line by line. We hold a writing end open
// ourselves so that a client closing its end does not leave the reading end
// signalling hang-up over and over.
class ControlPipe {
public:
    ~ControlPipe()
    {
        if (readFd_ >= 0) {
            close(readFd_);
        }
        if (writeFd_ >= 0) {
            close(writeFd_);
        }
        if (created_) {
            unlink(path_.c_str());
        }
    }

    bool open(const std::string& path, std::string& error)
    {
        path_ = path;
        struct stat st {};
        if (stat(path.c_str(), &st) != 0) {
            if (mkfifo(path.c_str(), 0600) != 0) {
                error = "cannot create " + path + ": " + std::strerror(errno);
                return false;
            }
            created_ = true;
        } else if (!S_ISFIFO(st.st_mode)) {
            error = path + " exists and is not a pipe";
            return false;
        }
        readFd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        writeFd_ = readFd_ < 0 ? -1 : ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (readFd_ < 0 || writeFd_ < 0) {
            error = "cannot open " + path + ": " + std::strerror(errno);
            return false;
        }
        return true;
    }

    int fd() const { return readFd_; }

    // Reads what is there and hands out complete lines.
    template <typename F>
    void drain(F onLine)
    {
        char chunk[512];
        for (;;) {
            const ssize_t n = read(readFd_, chunk, sizeof chunk);
            if (n <= 0) {
                return;
            }
            for (ssize_t i = 0; i < n; ++i) {
                if (chunk[i] == '\n') {
                    if (!overflow_) {
                        onLine(line_);
                    }
                    line_.clear();
                    overflow_ = false;
                } else if (line_.size() < 1024) {
                    line_ += chunk[i];
                } else {
                    overflow_ = true;  // the rest of an overlong line is ignored
                }
            }
        }
    }

private:
    std::string path_;
    int readFd_ = -1;
    int writeFd_ = -1;
    bool created_ = false;
    std::string line_;
    bool overflow_ = false;
};

void logLine(const std::string& text)
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm local{};
    localtime_r(&ts.tv_sec, &local);
    std::fprintf(stderr, "%02d:%02d:%02d.%03ld %s\n", local.tm_hour, local.tm_min, local.tm_sec,
                 ts.tv_nsec / 1'000'000, text.c_str());
}

// Writes what the line takes; the rest waits for the next turn.
void writeOut(int fd, Transmitter& tx, int64_t now)
{
    const std::vector<uint8_t> bytes = tx.due(now);
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;  // EAGAIN: the host's input buffer is full
        }
        done += static_cast<size_t>(n);
    }
    if (done < bytes.size()) {
        tx.unsent(bytes.data() + done, bytes.size() - done);
    }
}

// INT, TERM and HUP end the run through the wake-up pipe; a client that
// goes away from the control pipe is no reason to die.
void installStopSignals()
{
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

// The line that tells a waiting test or user that the units listen.
void announce(const Options& o, Simulator& sim, const TtyLink& line)
{
    std::printf("varno_unitsim: %zu unit(s) listening on %s", sim.units().size(),
                line.devicePath().c_str());
    if (!line.linkName().empty()) {
        std::printf(" as %s", line.linkName().c_str());
    }
    if (!o.control.empty()) {
        std::printf(", control pipe %s", o.control.c_str());
    }
    std::printf(o.pacing ? ", %d baud\n" : ", no pacing\n", o.baud);
    std::fflush(stdout);
}

// Opens the served line and, when asked for, the control pipe.
bool openLines(const Options& o, TtyLink& line, ControlPipe& control)
{
    std::string error;
    const bool opened = o.device.empty() ? line.openPseudoTerminal(o.link, error)
                                         : line.openDevice(o.device, o.baud, error);
    if (!opened || (!o.control.empty() && !control.open(o.control, error))) {
        std::fprintf(stderr, "varno_unitsim: %s\n", error.c_str());
        return false;
    }
    return true;
}

// Sleeps until the simulator's next deadline or until one of the
// descriptors is ready; what ppoll returns.
int waitForWork(const Simulator& sim, pollfd* fds, nfds_t count, int64_t now, int64_t burstNs)
{
    const int64_t deadline = sim.nextDeadline(now, burstNs);
    timespec wait{};
    timespec* timeout = nullptr;
    if (deadline >= 0) {
        const int64_t left = std::max<int64_t>(0, deadline - nowNs());
        wait.tv_sec = static_cast<time_t>(left / 1'000'000'000);
        wait.tv_nsec = static_cast<long>(left % 1'000'000'000);
        timeout = &wait;
    }
    return ppoll(fds, count, timeout, nullptr);
}

// Hands what the host sent to the units; false when the line has gone.
bool readFromLine(int fd, short revents, Simulator& sim)
{
    if (revents & POLLIN) {
        uint8_t buffer[1024];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            sim.received(buffer, static_cast<size_t>(n), nowNs());
        }
    } else if (revents & (POLLERR | POLLHUP | POLLNVAL)) {
        std::fprintf(stderr, "varno_unitsim: the line has gone away\n");
        return false;
    }
    return true;
}

// Carries out the commands that came on the control pipe, each answered
// on standard output.
void runCommands(ControlPipe& control, Simulator& sim)
{
    control.drain([&sim](const std::string& command) {
        std::string reply;
        const bool ok = applyControl(sim, command, reply);
        std::printf("control: %s -> %s%s\n", command.c_str(), ok ? "" : "error: ", reply.c_str());
        std::fflush(stdout);
    });
}

// Serves the line until a stop signal; the exit status.
int serve(Simulator& sim, const TtyLink& line, ControlPipe& control, int64_t burstNs)
{
    for (;;) {
        const int64_t now = nowNs();
        writeOut(line.fd(), sim.transmitter(), now);
        sim.expire(now);

        // A full line (the host reads nothing) is waited out, not polled.
        const short lineEvents = sim.transmitter().blocked() ? POLLIN | POLLOUT : POLLIN;
        pollfd fds[3] = {{wakePipe[0], POLLIN, 0}, {line.fd(), lineEvents, 0}, {control.fd(), POLLIN, 0}};
        const nfds_t count = control.fd() >= 0 ? 3 : 2;
        if (waitForWork(sim, fds, count, now, burstNs) < 0) {
            if (errno == EINTR) {
                continue;
            }
            std::perror("varno_unitsim: poll");
            return 1;
        }
        if (fds[0].revents != 0) {
            break;
        }
        if (!readFromLine(line.fd(), fds[1].revents, sim)) {
            return 1;
        }
        if (count == 3 && (fds[2].revents & POLLIN)) {
            runCommands(control, sim);
        }
    }
    std::printf("varno_unitsim: stopped\n");
    std::fflush(stdout);
    return 0;
}

int run(const Options& o)
{
    // Paced bytes are due at exact times; the default timer slack would
    // hand each over up to 50 us late.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    std::vector<SimUnit> units;
    std::string error;
    if (!loadConfig(o.config, units, error)) {
        std::fprintf(stderr, "varno_unitsim: %s\n", error.c_str());
        return 1;
    }

    if (pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("varno_unitsim: pipe");
        return 1;
    }
    installStopSignals();

    TtyLink line;
    ControlPipe control;
    if (!openLines(o, line, control)) {
        return 1;
    }

    // 10 bits a byte: start, eight data bits, stop.
    const int64_t byteNs = o.pacing ? 10'000'000'000LL / o.baud : 0;
    Simulator sim(std::move(units), byteNs);
    if (o.log) {
        sim.setLog(logLine);
    }

    announce(o, sim, line);
    return serve(sim, line, control, o.burstNs);
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!parseOptions(argc, argv, options)) {
        usage(stderr);
        return 1;
    }
    wxInitializer wx;
    if (!wx.IsOk()) {
        std::fprintf(stderr, "varno_unitsim: cannot initialise wxWidgets\n");
        return 1;
    }
    return run(options);
}
