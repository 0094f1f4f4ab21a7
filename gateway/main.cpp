// varno_gateway: polls the units of one or more Varno lines through the
// library's point layer and publishes what they report to an MQTT broker
// and as Prometheus metrics. See doc/varno_gateway.1.
//
// Exit codes: 0 stopped by SIGTERM/SIGINT/SIGQUIT, or --check found the
// configuration good; 1 the broker client or the HTTP endpoint could not
// be set up; 64 bad command line; 78 bad configuration file.

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <string>

#include <pthread.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <wx/init.h>

#include "gateway/config.h"
#include "gateway/gateway.h"
#include "gateway/log.h"
#include "gateway/metrics.h"

using namespace varno_gateway;

namespace {

constexpr int ExitOk = 0;
constexpr int ExitStartFailure = 1;
constexpr int ExitUsage = 64;   // as sysexits' EX_USAGE
constexpr int ExitConfig = 78;  // as sysexits' EX_CONFIG

const char* const Usage =
    "Usage: varno_gateway [-c FILE] [--check] [-v] [--log-level LEVEL]\n"
    "Polls Varno units on serial lines and publishes their values to MQTT\n"
    "and as Prometheus metrics over HTTP.\n"
    "\n"
    "  -c, --config FILE  configuration file (default /etc/varno/gateway.yaml)\n"
    "      --check        check the configuration file and exit\n"
    "  -v, --verbose      log debugging detail (--log-level debug)\n"
    "      --log-level LEVEL  log error, warning, info (the default) or debug\n"
    "                     messages and those above them\n"
    "  -h, --help         show this help and exit\n"
    "      --version      show the version and exit\n"
    "\n"
    "SIGHUP reloads the configuration; SIGTERM stops.\n"
    "Exit codes: 0 stopped, 1 start-up failure, 64 bad command line,\n"
    "78 bad configuration file.\n";

// How often the service manager hears that the main loop is alive: half
// its watchdog time, or never when it has none (0).
std::chrono::microseconds watchdogInterval()
{
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) <= 0) {
        return std::chrono::microseconds(0);
    }
    return std::chrono::microseconds(usec / 2);
}

// Waits for one of `signals` for at most `limit` (for ever when 0): the
// signal, or 0 when the time ran out.
int waitForSignal(const sigset_t& signals, std::chrono::microseconds limit)
{
    for (;;) {
        int signal = 0;
        if (limit.count() == 0) {
            if (sigwait(&signals, &signal) == 0) {
                return signal;
            }
            continue;
        }
        struct timespec wait {};
        wait.tv_sec = static_cast<time_t>(limit.count() / 1000000);
        wait.tv_nsec = static_cast<long>(limit.count() % 1000000) * 1000;
        signal = sigtimedwait(&signals, nullptr, &wait);
        if (signal > 0) {
            return signal;
        }
        if (errno == EAGAIN) {
            return 0;
        }
    }
}

// RELOADING=1 carries the moment it began, as the service manager asks.
void notifyReloading()
{
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const unsigned long long usec = static_cast<unsigned long long>(now.tv_sec) * 1000000ULL +
                                    static_cast<unsigned long long>(now.tv_nsec) / 1000ULL;
    sd_notifyf(0, "RELOADING=1\nMONOTONIC_USEC=%llu", usec);
}

}  // namespace

int main(int argc, char** argv)
{
    std::string configPath = "/etc/varno/gateway.yaml";
    bool checkOnly = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "-c" || arg == "--config") && i + 1 < argc) {
            configPath = argv[++i];
        } else if (arg.rfind("--config=", 0) == 0) {
            configPath = arg.substr(9);
        } else if (arg == "--check") {
            checkOnly = true;
        } else if (arg == "-v" || arg == "--verbose") {
            setVerbose(true);
        } else if (arg == "--log-level" || arg.rfind("--log-level=", 0) == 0) {
            std::string name;
            if (arg.size() > 11) {
                name = arg.substr(12);
            } else if (i + 1 < argc) {
                name = argv[++i];
            }
            const std::optional<Level> level = parseLevel(name);
            if (!level) {
                std::fprintf(stderr,
                             "varno_gateway: --log-level \"%s\" is not one of error, warning, "
                             "info, debug\n%s",
                             name.c_str(), Usage);
                return ExitUsage;
            }
            setLogLevel(*level);
        } else if (arg == "-h" || arg == "--help") {
            std::fputs(Usage, stdout);
            return ExitOk;
        } else if (arg == "--version") {
            std::printf("varno_gateway %s\n", VARNO_VERSION);
            return ExitOk;
        } else {
            std::fprintf(stderr, "varno_gateway: unknown or incomplete option \"%s\"\n%s",
                         arg.c_str(), Usage);
            return ExitUsage;
        }
    }

    GatewayConfig config;
    try {
        config = loadConfig(configPath);
    } catch (const ConfigError& e) {
        std::fprintf(stderr, "varno_gateway: %s\n", e.what());
        return ExitConfig;
    }
    if (checkOnly) {
        std::printf("%s: configuration good (%zu line(s))\n", configPath.c_str(),
                    config.lines.size());
        return ExitOk;
    }

    // The signals are taken by this thread alone, in sigwait below; every
    // thread started from here on inherits the mask.
    sigset_t signals;
    sigemptyset(&signals);
    for (int s : {SIGTERM, SIGINT, SIGQUIT, SIGHUP}) {
        sigaddset(&signals, s);
    }
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    wxInitializer wx;
    if (!wx.IsOk()) {
        std::fprintf(stderr, "varno_gateway: cannot initialise wxWidgets\n");
        return ExitStartFailure;
    }

    Metrics metrics;
    auto gateway = std::make_unique<Gateway>(config, metrics);
    std::string error;
    if (!gateway->start(error)) {
        logLine(Level::Error, error);
        return ExitStartFailure;
    }
    logLine(Level::Info, "started with " + configPath);
    sd_notifyf(0, "READY=1\nSTATUS=polling %zu line(s)", config.lines.size());

    const std::chrono::microseconds watchdog = watchdogInterval();
    for (;;) {
        const int signal = waitForSignal(signals, watchdog);
        if (signal == 0) {
            sd_notify(0, "WATCHDOG=1");
            continue;
        }
        if (signal != SIGHUP) {
            // Every line's waits end on the stop, a scan's too: no line
            // holds the stop up for longer than one wake-up.
            sd_notify(0, "STOPPING=1");
            logLine(Level::Info, std::string("stopping on ") + strsignal(signal));
            gateway->stop();
            return ExitOk;
        }
        notifyReloading();
        GatewayConfig next;
        try {
            next = loadConfig(configPath);
        } catch (const ConfigError& e) {
            logLine(Level::Error, std::string("reload refused, keeping the running configuration: ") +
                                      e.what());
            sd_notify(0, "READY=1");
            continue;
        }
        logLine(Level::Info, "reloading " + configPath);
        if (!gateway->reload(next, error)) {
            logLine(Level::Error, "reload: " + error + "; that part keeps its running settings");
        }
        sd_notifyf(0, "READY=1\nSTATUS=polling %zu line(s)", next.lines.size());
    }
}
