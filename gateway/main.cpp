// varno_gateway: polls the units of one or more Varno lines through the
// library's point layer and publishes what they report to an MQTT broker
// and as Prometheus metrics. See doc/varno_gateway.1.
//
// Exit codes: 0 stopped by SIGTERM/SIGINT/SIGQUIT, or --check found the
// configuration good; 1 the broker client or the HTTP endpoint could not
// be set up; 64 bad command line; 78 bad configuration file.

#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include <pthread.h>
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
    "Usage: varno_gateway [-c FILE] [--check] [-v]\n"
    "Polls Varno units on serial lines and publishes their values to MQTT\n"
    "and as Prometheus metrics over HTTP.\n"
    "\n"
    "  -c, --config FILE  configuration file (default /etc/varno/gateway.yaml)\n"
    "      --check        check the configuration file and exit\n"
    "  -v, --verbose      log debugging detail\n"
    "  -h, --help         show this help and exit\n"
    "      --version      show the version and exit\n"
    "\n"
    "SIGHUP reloads the configuration; SIGTERM stops.\n"
    "Exit codes: 0 stopped, 1 start-up failure, 64 bad command line,\n"
    "78 bad configuration file.\n";

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

    for (;;) {
        int signal = 0;
        if (sigwait(&signals, &signal) != 0) {
            continue;
        }
        if (signal != SIGHUP) {
            // Every line's waits end on the stop, a scan's too: no line
            // holds the stop up for longer than one wake-up.
            logLine(Level::Info, std::string("stopping on ") + strsignal(signal));
            gateway->stop();
            return ExitOk;
        }
        GatewayConfig next;
        try {
            next = loadConfig(configPath);
        } catch (const ConfigError& e) {
            logLine(Level::Error, std::string("reload refused, keeping the running configuration: ") +
                                      e.what());
            continue;
        }
        logLine(Level::Info, "reloading " + configPath);
        if (!gateway->reload(next, error)) {
            logLine(Level::Error, "reload: " + error + "; that part keeps its running settings");
        }
    }
}
