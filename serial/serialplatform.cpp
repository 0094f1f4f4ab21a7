#include "serial/serialplatform.h"

#include <cerrno>
#include <cstring>

#include "serial/serialplatformnet.h"

namespace mirel_varno {

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
