#include "serial/serialplatform.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "serial/serialplatformnet.h"

namespace mirel_varno {

int64_t lineByteTimeNs(const LineSettings& settings)
{
    if (settings.baudRate == 0) {
        return 0;
    }
    // In half bits, as a UART sends them.
    int64_t halfBits = 2 + 2 * int64_t{std::clamp<uint8_t>(settings.byteSize, 5, 8)};
    if (settings.parity != LineParity::None) {
        halfBits += 2;
    }
    switch (settings.stopBits) {
    case LineStopBits::One: halfBits += 2; break;
    case LineStopBits::OneAndHalf: halfBits += 3; break;
    case LineStopBits::Two: halfBits += 4; break;
    }
    return halfBits * 500000000 / settings.baudRate;
}

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
