#ifndef VARNO_APP_POLLCYCLE_H
#define VARNO_APP_POLLCYCLE_H

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include <wx/string.h>

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

// Opens the port again when its device has gone away (an adapter
// unplugged) or an earlier attempt failed; nothing when it is fine. Until
// the device is back, exchanges fail as on a silent line.
void reopenIfLost(SerialPortVarnoProtocol& port);

// The time, address and tab that begin a report line.
wxString reportPrefix(const UnitAddress& address);

// Sends every command to every address (commands outer, addresses inner),
// printing one line per exchange and pausing after each, until a key is
// pressed (tested before each pass of one command) or a stop is requested.
// With no address or no command there is nothing to do: it returns.
void runPollCycle(SerialPortVarnoProtocol& port, std::vector<UnitAddress> addresses,
                  std::vector<int32_t> commands, int32_t pause, Console& console);

}  // namespace mirel_varno

#endif
