#include "serial/serialplatform.h"

#include <cerrno>
#include <cstring>

#include "serial/serialplatformnet.h"

namespace mirel_varno {

bool SerialDevice::discardInput()
{
    PortTimeouts kept;
    if (!getTimeouts(kept)) {
        return false;
    }
    PortTimeouts now;
    now.readInterval = 0xFFFFFFFFu;
    if (!setTimeouts(now)) {
        return false;
    }
    // Bounded, so that a line that never stops talking cannot hold us here.
    uint8_t scratch[256];
    for (uint32_t taken = 0; taken < 65536 && read(scratch, sizeof scratch) == sizeof scratch;
         taken += sizeof scratch) {
    }
    return setTimeouts(kept);
}

std::unique_ptr<SerialDevice> SerialDevice::open(const char* modeText, int32_t baudRate,
                                                 std::string& reason)
{
    const std::string name = deviceName(modeText);
    const bool network = isNetworkName(name);
    if (network ? baudRate <= 0 : !supportsBaudRate(baudRate)) {
        reason = "unsupported baud rate " + std::to_string(baudRate);
        return nullptr;
    }
    if (network) {
        return openNetworkDevice(name, reason);
    }
    errno = 0;
    std::unique_ptr<SerialDevice> device = openTerminal(modeText);
    if (!device) {
        reason = errno == EWOULDBLOCK ? "the device is in use"
                 : errno != 0         ? std::strerror(errno)
                                      : "cannot open the device";
    }
    return device;
}

}  // namespace mirel_varno
