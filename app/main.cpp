// varno_cycle: polls the units of one serial line and prints a line per
// exchange until a key is pressed.

#include <cstdio>
#include <exception>
#include <memory>
#include <vector>

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

int run(int argc, const char* const* argv)
{
    CycleSettings settings;
    if (!parseCommandLine(argc, argv, settings) || (settings.port == -1 && settings.device.empty()) || settings.pause <= 0 ||
        settings.commandsFile.empty() || settings.addressesFile.empty()) {
        printLine("Command line:\nvarno_cycle.exe -p port -t timeout -c <commands file> -a "
                  "<addresses file>");
        return 1;
    }

    std::vector<UnitAddress> addresses;
    if (!readAddressFile(settings.addressesFile, addresses)) {
        printLine("Can't open file " + settings.addressesFile);
        return 1;
    }
    if (addresses.empty()) {
        printLine("No addresses in file " + settings.addressesFile);
        return 5;
    }

    std::vector<int32_t> commands;
    if (!readCommandFile(settings.commandsFile, commands)) {
        return 4;
    }
    if (commands.empty()) {
        printLine("No commands in file " + settings.commandsFile);
        return 5;
    }

    std::unique_ptr<SerialPortVarnoProtocol> port =
        settings.device.empty() ? openPort(settings.port) : openDevice(settings.device);
    if (!port) {
        return 2;
    }
    Console console;
    runPollCycle(*port, addresses, commands, settings.pause, console);
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
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        // Reached only after the console has been restored by unwinding.
        std::fprintf(stderr, "varno_cycle: unexpected failure: %s\n", e.what());
        return 3;
    }
}
