// varno_cycle: polls the units of one serial line and prints a line per
// exchange until a key is pressed.

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include <systemd/sd-daemon.h>

#include <wx/init.h>
#include <wx/string.h>

#include "app/console.h"
#include "app/inputfiles.h"
#include "app/options.h"
#include "app/pollcycle.h"
#include "app/printline.h"
#include "protocol/serialportvarnoprotocol.h"

using namespace mirel_varno;

namespace {

// Exit codes beside those of the start-up sequence (0, 1, 2, 4, 5) and
// 3 for an unexpected failure.
constexpr int ExitSomeExchangesFailed = 6;  // --count: not every exchange succeeded
constexpr int ExitOutputFailed = 7;         // a report line could not be written

// Why the command line was not enough, beside the usage text.
void explainIncomplete(const CycleSettings& settings)
{
    // An option whose value was already found wrong is not missing too.
    const auto told = [&](const char* option) {
        for (const std::string& problem : settings.problems) {
            if (problem.compare(0, 3, option) == 0) {
                return true;
            }
        }
        return false;
    };
    if (settings.port == -1 && settings.device.empty() && !told("-p ") && !told("-p:")) {
        printError("-p (the serial port) is missing");
    }
    if (settings.pause <= 0 && !told("-t ") && !told("-t:")) {
        printError("-t (the pause, 1 ms or more) is missing");
    }
    if (settings.commandsFile.empty() && !told("-c ")) {
        printError("-c (the commands file) is missing");
    }
    if (settings.addressesFile.empty() && !told("-a ")) {
        printError("-a (the addresses file) is missing");
    }
    printError("try 'varno_cycle --help'");
}

// Names the skipped lines; with --strict they stop the start, since a
// typo would otherwise leave a unit or a command out of every pass while a
// --count check still exits 0. True when the start may go on.
bool reportSkipped(const std::string& kind, const std::string& path,
                   const InputFileReport& report, bool strict)
{
    for (const SkippedLine& line : report.skipped) {
        printError(path + ":" + std::to_string(line.number) + ": skipped " +
                   quotedBytes(line.bytes) + ": " + line.reason);
    }
    if (report.skippedCount > report.skipped.size()) {
        printError(path + ": " + std::to_string(report.skippedCount - report.skipped.size()) +
                   " more lines skipped");
    }
    if (!strict || report.skippedCount == 0) {
        return true;
    }
    printMessageBytes("Lines skipped in file " + path);
    printError(kind + " file " + path + ": " + std::to_string(report.skippedCount) +
               (report.skippedCount == 1 ? " line" : " lines") +
               " skipped, and --strict refuses a file with skipped lines");
    return false;
}

int run(int argc, const char* const* argv)
{
    CycleSettings settings;
    const bool parsed = parseCommandLine(argc, argv, settings);
    // Records for programs keep standard output to themselves.
    setMessagesToStandardError(settings.format != ReportFormat::Text);
    for (const std::string& problem : settings.problems) {
        printError(problem);
    }
    if (parsed && settings.help) {
        return printLine(wxString::FromUTF8(helpText())) ? 0 : ExitOutputFailed;
    }
    if (parsed && settings.version) {
        return printLine("varno_cycle " VARNO_VERSION) ? 0 : ExitOutputFailed;
    }
    if (!parsed || (settings.port == -1 && settings.device.empty()) || settings.pause <= 0 ||
        settings.commandsFile.empty() || settings.addressesFile.empty()) {
        printMessage("Command line:\nvarno_cycle.exe -p port -t timeout -c <commands file> -a "
                     "<addresses file>");
        explainIncomplete(settings);
        return 1;
    }

    std::vector<UnitAddress> addresses;
    InputFileReport addressReport;
    if (!readAddressFile(settings.addressesPath, addresses, addressReport)) {
        printMessageBytes("Can't open file " + settings.addressesPath);
        printError("addresses file " + settings.addressesPath + ": " + addressReport.failure);
        return 1;
    }
    if (!reportSkipped("addresses", settings.addressesPath, addressReport, settings.strict)) {
        return 1;
    }
    if (addresses.empty()) {
        printMessageBytes("No addresses in file " + settings.addressesPath);
        return 5;
    }

    std::vector<int32_t> commands;
    InputFileReport commandReport;
    if (!readCommandFile(settings.commandsPath, commands, commandReport)) {
        printMessageBytes("Can't open file " + settings.commandsPath);
        printError("commands file " + settings.commandsPath + ": " + commandReport.failure);
        return 4;
    }
    if (!reportSkipped("commands", settings.commandsPath, commandReport, settings.strict)) {
        return 4;
    }
    if (commands.empty()) {
        printMessageBytes("No commands in file " + settings.commandsPath);
        return 5;
    }

    std::unique_ptr<SerialPortVarnoProtocol> port =
        settings.device.empty()
            ? openPortNamed("COM" + std::to_string(settings.port),
                            wxString::Format("%d", settings.port), !settings.quiet)
            : openPortNamed(settings.device, argumentText(settings.device.c_str()),
                            !settings.quiet);
    if (!port) {
        return 2;
    }
    Console console;
    CycleOptions options;
    options.format = settings.format;
    options.isoTimestamps = settings.isoTimestamps;
    options.count = settings.count;
    // Under a service manager that asks for it (Type=notify, WatchdogSec=),
    // each written line tells it that the cycle is alive; elsewhere these
    // calls do nothing.
    uint64_t watchdogUsec = 0;
    if (sd_watchdog_enabled(0, &watchdogUsec) > 0) {
        options.lineWritten = [] { sd_notify(0, "WATCHDOG=1"); };
    }
    sd_notifyf(0, "READY=1\nSTATUS=polling %zu address(es)", addresses.size());
    const CycleOutcome outcome =
        runPollCycle(*port, addresses, commands, settings.pause, console, options);
    sd_notify(0, "STOPPING=1");
    if (outcome.outputFailed) {
        printError(std::string("cannot write the report to standard output (") +
                   std::strerror(outputError()) + "); stopping");
        return ExitOutputFailed;
    }
    if (settings.count != 0 && outcome.failures != 0) {
        printError(std::to_string(outcome.failures) + " of " + std::to_string(outcome.exchanges) +
                   " exchanges failed");
        return ExitSomeExchangesFailed;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    wxInitializer initializer;
    if (!initializer.IsOk()) {
        std::fputs("varno_cycle: cannot initialise the runtime library\n", stderr);
        return 3;
    }
    // A reader that has gone shows as a failed write (exit 7 in the cycle)
    // rather than killing the process before it can say so.
    std::signal(SIGPIPE, SIG_IGN);
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        // Reached only after the console has been restored by unwinding.
        std::fprintf(stderr, "varno_cycle: unexpected failure: %s\n", e.what());
        return 3;
    }
}
