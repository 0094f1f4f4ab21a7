#ifndef VARNO_APP_POLLCYCLE_H
#define VARNO_APP_POLLCYCLE_H

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <wx/string.h>

#include "app/options.h"
#include "base/unitaddress.h"

namespace mirel_varno {

class SerialPortVarnoProtocol;
class Console;

// Serves one poll command for one unit and returns the result text. May
// raise Exception.
using CommandHandler = wxString (*)(SerialPortVarnoProtocol& port, const UnitAddress& address);

wxString statusHandler(SerialPortVarnoProtocol& port, const UnitAddress& address);
wxString measureHandler(SerialPortVarnoProtocol& port, const UnitAddress& address);
wxString versionHandler(SerialPortVarnoProtocol& port, const UnitAddress& address);

// The handler of every poll command code.
std::map<int32_t, CommandHandler> makeHandlerTable();

// Opens the protocol object on port COM<port>, prints "Initializing serial
// port <port>", and returns it with its time-outs applied; or prints
// "Error opening port" and returns none.
std::unique_ptr<SerialPortVarnoProtocol> openPort(int32_t port);

// The same for a device named by `device` (COM<n> or a path), shown as
// `shownAs` in the banner, which `banner` false leaves out. When the port
// cannot be opened, standard error says which path was tried, why it
// failed and what to do.
std::unique_ptr<SerialPortVarnoProtocol> openPortNamed(const std::string& device,
                                                       const wxString& shownAs, bool banner);

// Why the device at `path` could not be opened, with a hint: the serial
// devices that exist, the group to join, or that another program holds
// it. `error` is the system's error number of the attempt (0: unknown).
std::string portFailureReason(const std::string& path, int error);

// The reason for a device at `path` that this user may not open: the group
// to join, unless the group is root's, which nobody should join for a line.
std::string permissionDeniedReason(const std::string& path, gid_t group);

// Opens the port again when its device has gone away (an adapter
// unplugged) or an earlier attempt failed; nothing when it is fine. Until
// the device is back, exchanges fail as on a silent line.
void reopenIfLost(SerialPortVarnoProtocol& port);

// Sends every command to every address (commands outer, addresses inner),
// printing one line per exchange and pausing after each, until a key is
// pressed (tested before each pass of one command) or a stop is requested.
// A stop also ends the exchange under way (the console's stop descriptor
// is given to the port for the run), and that exchange is not reported.
// With no address or no command there is nothing to do: it returns.
void runPollCycle(SerialPortVarnoProtocol& port, std::vector<UnitAddress> addresses,
                  std::vector<int32_t> commands, int32_t pause, Console& console);

// How a cycle reports and when it ends, beyond the classic run.
struct CycleOptions {
    ReportFormat format = ReportFormat::Text;
    bool isoTimestamps = false;  // text lines with the ISO time
    uint32_t count = 0;          // passes over the command list; 0: until stopped
    // Called after each report line is written: proof for a supervisor's
    // watchdog that the cycle goes on. None when empty.
    std::function<void()> lineWritten;
};

struct CycleOutcome {
    bool outputFailed = false;  // a report line could not be written
    uint64_t exchanges = 0;
    uint64_t failures = 0;      // exchanges that raised
};

// The cycle as above, written in the chosen format, ending also after
// `count` passes (without the pause after the last exchange) or when a
// report line cannot be written.
CycleOutcome runPollCycle(SerialPortVarnoProtocol& port, std::vector<UnitAddress> addresses,
                          std::vector<int32_t> commands, int32_t pause, Console& console,
                          const CycleOptions& options);

}  // namespace mirel_varno

#endif
