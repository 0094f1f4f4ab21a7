#include "app/pollcycle.h"

#include <glob.h>
#include <grp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>

#include <wx/datetime.h>

#include "app/console.h"
#include "app/inputfiles.h"
#include "app/printline.h"
#include "app/report.h"
#include "app/visibletext.h"
#include "base/error.h"
#include "protocol/serialportvarnoprotocol.h"
#include "serial/serialplatformlinux.h"

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

namespace {

// The serial devices present, for the hint when a device does not exist.
std::string serialDevicesHere()
{
    std::string list;
    size_t builtIn = 0;
    for (const char* pattern : {"/dev/serial/by-id/*", "/dev/ttyUSB*", "/dev/ttyACM*",
                                "/dev/ttyAMA*", "/dev/ttyS*"}) {
        glob_t found{};
        if (::glob(pattern, 0, nullptr, &found) == 0) {
            for (size_t i = 0; i < found.gl_pathc; ++i) {
                if (std::strncmp(pattern, "/dev/ttyS", 9) == 0) {
                    ++builtIn;
                } else {
                    list += std::string(list.empty() ? "" : " ") + found.gl_pathv[i];
                }
            }
        }
        globfree(&found);
    }
    if (builtIn > 0) {
        const std::string last = std::to_string(builtIn - 1);
        list += std::string(list.empty() ? "" : " ") + "/dev/ttyS0" +
                (builtIn > 1 ? " to /dev/ttyS" + last : std::string()) +
                " (built-in ports, COM1 and up)";
    }
    return list.empty() ? "no serial devices found" : "serial devices here: " + list;
}

}  // namespace

std::string permissionDeniedReason(const std::string& path, gid_t group)
{
    // Joining root's group would grant far more than the line, and the
    // device's group is then only the default of a missing udev rule.
    if (group == 0) {
        return "permission denied; the device belongs to root alone: run as root, or give it a "
               "group with a udev rule (GROUP=\"dialout\") and join that group";
    }
    std::string groupName;
    if (const struct group* g = ::getgrgid(group)) {
        groupName = g->gr_name;
    }
    if (groupName.empty() || groupName == "root") {
        return "permission denied; the device's group (" + std::to_string(group) +
               ") has no name here: ask the administrator for access to " + path;
    }
    return "permission denied; the device belongs to group '" + groupName +
           "': join it (sudo usermod -aG " + groupName + " \"$USER\") and log in again";
}

std::string portFailureReason(const std::string& path, int error)
{
    // Remote lines and other names that are no file speak for themselves.
    if (path.find("://") != std::string::npos) {
        return error != 0 ? std::strerror(error) : "it cannot be opened";
    }
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        const int statError = errno;
        if (statError == ENOENT || statError == ENOTDIR) {
            return "no such device; " + serialDevicesHere();
        }
        return std::strerror(statError);
    }
    if (::access(path.c_str(), R_OK | W_OK) != 0 && errno == EACCES) {
        return permissionDeniedReason(path, info.st_gid);
    }
    if (!S_ISCHR(info.st_mode)) {
        return "not a serial device";
    }
    if (error == EBUSY || error == EWOULDBLOCK) {
        return "busy: another program holds it (fuser -v " + path + " names it)";
    }
    if (error == ENOTTY) {
        return "not a serial device (not a terminal)";
    }
    if (error == EACCES || error == EPERM) {
        return std::string(std::strerror(error)) + "; another user's program may hold it";
    }
    return error != 0 ? std::strerror(error) : "it cannot be set up as a serial line";
}

std::unique_ptr<SerialPortVarnoProtocol> openPortNamed(const std::string& device,
                                                       const wxString& shownAs, bool banner)
{
    // A network open may take a while (a lookup, a connection, the
    // server's answers): say what is going on before it starts. A local
    // open is at once, and its line follows it as it always has.
    const bool network = device.find("://") != std::string::npos;
    if (banner && network) {
        printMessage("Initializing serial port " + shownAs);
    }
    errno = 0;
    auto object = std::make_unique<SerialPortVarnoProtocol>(device.c_str());
    const int error = errno;
    if (banner && !network) {
        printMessage("Initializing serial port " + shownAs);
    }
    if (object->isOpen()) {
        object->setTimeouts(1, 0);
        return object;
    }
    printMessage("Error opening port");
    // A network line knows why: the name, the resolver, the connection or
    // the server's answer.
    if (network && !object->openFailure().empty()) {
        printError("cannot open serial port " + device + ": " + object->openFailure());
        return nullptr;
    }
    const std::string path = devicePath((device + ": baud=9600").c_str());
    std::string tried;
    if (path != device) {
        // A COMn name looks for ./COMn first: run from the wrong folder, the
        // link is simply not found, so say where it was looked for.
        char here[4096];
        tried = " (no ./" + device +
                (::getcwd(here, sizeof here) != nullptr ? " in " + std::string(here) : std::string()) +
                ", so " + path + ")";
    }
    printError("cannot open serial port " + device + tried + ": " + portFailureReason(path, error));
    return nullptr;
}

std::unique_ptr<SerialPortVarnoProtocol> openPort(int32_t port)
{
    return openPortNamed("COM" + std::to_string(port), wxString::Format("%d", port), true);
}

namespace {

// The time, address and tab that begin a text report line, from the time
// taken before the exchange.
wxString textPrefix(const ExchangeRecord& record, bool isoTimestamps)
{
    const wxString stamp =
        isoTimestamps ? wxString::FromUTF8(isoTime(record.time)) + " "
                      : wxDateTime(static_cast<time_t>(record.time.tv_sec)).Format("%H:%M:%S ");
    return stamp + wxString::Format("%d.%d.%d\t", static_cast<unsigned>(record.address.first),
                                    static_cast<unsigned>(record.address.second),
                                    static_cast<unsigned>(record.address.third));
}

// Runs one exchange: through its handler for a text line, or straight
// through the protocol when the decoded values are wanted.
void exchange(SerialPortVarnoProtocol& port, CommandHandler handler, bool decoded,
              ExchangeRecord& record)
{
    try {
        if (!decoded) {
            record.text = handler(port, record.address);
        } else if (record.command == CommandStatus) {
            port.readStatus(record.address, record.status);
        } else if (record.command == CommandVersion) {
            port.readVersion(record.address, record.version);
        } else {
            port.readMeasure(record.address, -1, record.value, record.seconds, record.accuracy);
        }
        record.ok = true;
    } catch (const Exception& e) {
        record.ok = false;
        record.errorCode = e.code();
        record.text = e.message();
    }
}

}  // namespace

void runPollCycle(SerialPortVarnoProtocol& port, std::vector<UnitAddress> addresses,
                  std::vector<int32_t> commands, int32_t pause, Console& console)
{
    runPollCycle(port, std::move(addresses), std::move(commands), pause, console, CycleOptions{});
}

CycleOutcome runPollCycle(SerialPortVarnoProtocol& port, std::vector<UnitAddress> addresses,
                          std::vector<int32_t> commands, int32_t pause, Console& console,
                          const CycleOptions& options)
{
    // Every exchange is mostly timed waits; by default each may end up to
    // 50 us late, some 0.17 ms an exchange. Ask for them on time.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    CycleOutcome outcome;
    const std::map<int32_t, CommandHandler> handlers = makeHandlerTable();
    const size_t addressCount = addresses.size();
    const size_t commandCount = commands.size();
    if (addressCount == 0 || commandCount == 0) {
        return outcome;  // nothing to send: the loop would only spin
    }
    // A stop ends the exchange under way, not only the pause after it.
    struct StopWaits {
        SerialPortVarnoProtocol& port;
        ~StopWaits() { port.setStopDescriptor(-1); }
    } stopWaits{port};
    port.setStopDescriptor(console.stopDescriptor());
    if (options.format == ReportFormat::Csv && !printBytesLine(csvHeader())) {
        outcome.outputFailed = true;
        return outcome;
    }
    for (uint32_t pass = 1;; ++pass) {
        const bool lastPass = options.count != 0 && pass == options.count;
        for (size_t command = 0; command < commandCount; ++command) {
            if (console.keyPressed()) {
                return outcome;
            }
            const auto handler = handlers.find(commands[command]);
            if (handler == handlers.end()) {
                continue;
            }
            for (size_t a = 0; a < addressCount; ++a) {
                reopenIfLost(port);
                ExchangeRecord record;
                clock_gettime(CLOCK_REALTIME, &record.time);
                record.address = addresses[a];
                record.command = commands[command];
                exchange(port, handler->second, options.format != ReportFormat::Text, record);
                if (console.stopRequested()) {
                    return outcome;  // cut short: its outcome says nothing of the unit
                }
                ++outcome.exchanges;
                outcome.failures += record.ok ? 0 : 1;
                const bool written =
                    options.format == ReportFormat::Text
                        ? printLine(textPrefix(record, options.isoTimestamps) + record.text)
                        : printBytesLine(recordLine(record, options.format));
                if (!written && !console.stopRequested()) {
                    // Nobody reads the lines any more (a closed pipe, a full
                    // disk): end the run so that a supervisor sees it. A
                    // write cut short by a stop signal is no such failure.
                    outcome.outputFailed = true;
                    return outcome;
                }
                if (options.lineWritten) {
                    options.lineWritten();
                }
                if (console.stopRequested()) {
                    return outcome;
                }
                if (lastPass && command + 1 == commandCount && a + 1 == addressCount) {
                    return outcome;
                }
                console.pause(pause);
            }
        }
    }
}

}  // namespace mirel_varno
