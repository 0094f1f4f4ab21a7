#include "app/pollcycle.h"

#include <sys/prctl.h>

#include <string>

#include <wx/datetime.h>

#include "app/console.h"
#include "app/inputfiles.h"
#include "app/printline.h"
#include "app/visibletext.h"
#include "model/error.h"
#include "protocol/serialportvarnoprotocol.h"

namespace mirel_varno {

wxString statusHandler(SerialPortVarnoProtocol& port, const UnitAddress& address)
{
    uint16_t status = 0;
    port.readStatus(address, status);
    return wxString::Format("Status: 0x%04X", static_cast<unsigned>(status));
}

wxString measureHandler(SerialPortVarnoProtocol& port, const UnitAddress& address)
{
    float value = 0.0f;
    uint32_t time = 0;
    uint8_t accuracy = 0;
    port.readMeasure(address, -1, value, time, accuracy);
    return wxString::Format("Measure: %.3f %03d%% %d s", static_cast<double>(value),
                            static_cast<unsigned>(accuracy), static_cast<int32_t>(time));
}

wxString versionHandler(SerialPortVarnoProtocol& port, const UnitAddress& address)
{
    wxString version;
    port.readVersion(address, version);
    return "Version: " + visibleText(version);
}

std::map<int32_t, CommandHandler> makeHandlerTable()
{
    return {
        {CommandMeasure, measureHandler},
        {CommandMeasureAccuracyTime, measureHandler},
        {CommandStatus, statusHandler},
        {CommandVersion, versionHandler},
    };
}

void reopenIfLost(SerialPortVarnoProtocol& port)
{
    if (port.isOpen() && !port.deviceLost()) {
        return;
    }
    if (port.reopen()) {
        port.setTimeouts(1, 0);
    }
}

std::unique_ptr<SerialPortVarnoProtocol> openPort(int32_t port)
{
    const std::string device = "COM" + std::to_string(port);
    auto object = std::make_unique<SerialPortVarnoProtocol>(device.c_str());
    printLine(wxString::Format("Initializing serial port %d", port));
    if (object->isOpen()) {
        object->setTimeouts(1, 0);
        return object;
    }
    printLine("Error opening port");
    return nullptr;
}

wxString reportPrefix(const UnitAddress& address)
{
    return wxDateTime::Now().Format("%H:%M:%S ") +
           wxString::Format("%d.%d.%d\t", static_cast<unsigned>(address.first),
                            static_cast<unsigned>(address.second),
                            static_cast<unsigned>(address.third));
}

void runPollCycle(SerialPortVarnoProtocol& port, std::vector<UnitAddress> addresses,
                  std::vector<int32_t> commands, int32_t pause, Console& console)
{
    // Every exchange is mostly timed waits; by default each may end up to
    // 50 us late, some 0.17 ms an exchange. Ask for them on time.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    const std::map<int32_t, CommandHandler> handlers = makeHandlerTable();
    const size_t addressCount = addresses.size();
    const size_t commandCount = commands.size();
    if (addressCount == 0 || commandCount == 0) {
        return;  // nothing to send: the loop would only spin
    }
    for (;;) {
        for (size_t command = 0; command < commandCount; ++command) {
            if (console.keyPressed()) {
                return;
            }
            const auto handler = handlers.find(commands[command]);
            if (handler == handlers.end()) {
                continue;
            }
            for (size_t a = 0; a < addressCount; ++a) {
                const UnitAddress& address = addresses[a];
                reopenIfLost(port);
                const wxString prefix = reportPrefix(address);
                wxString result;
                try {
                    result = handler->second(port, address);
                } catch (const Exception& e) {
                    result = e.message();
                }
                if (!printLine(prefix + result)) {
                    // Nobody reads the lines any more: stop as on a signal.
                    console.requestStop();
                }
                if (console.stopRequested()) {
                    return;
                }
                console.pause(pause);
            }
        }
    }
}

}  // namespace mirel_varno
