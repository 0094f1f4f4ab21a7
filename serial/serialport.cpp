#include "serial/serialport.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <utility>

#include "base/error.h"
#include "serial/serialplatform.h"

namespace mirel_varno {

namespace {

// The one time-out set every open port gets.
constexpr PortTimeouts FixedTimeouts{
    6,    // longest gap between two received bytes
    1,    // per-byte part of the total read limit
    500,  // constant part of the total read limit
    25,   // per-byte part of the total write limit
    1,    // constant part of the total write limit
};

// Every read starts with this pause, giving the unit time to answer.
constexpr uint32_t ReadPauseMs = 20;

// A UART sends 1.5 stop bits only with 5-bit bytes, and two stop bits only
// with longer ones.
bool validFrame(int32_t dataBits, int32_t stopBits)
{
    return !(stopBits == TwoStopBits && dataBits == 5) &&
           !(stopBits == OneAndHalfStopBits && dataBits != 5);
}

LineStopBits lineStopBits(int32_t code, LineStopBits unchanged)
{
    switch (code) {
    case OneStopBit: return LineStopBits::One;
    case OneAndHalfStopBits: return LineStopBits::OneAndHalf;
    case TwoStopBits: return LineStopBits::Two;
    default: return unchanged;
    }
}

}  // namespace

SerialPort::SerialPort() = default;

SerialPort::SerialPort(const char* name, const PortSettings& settings)
{
    setName(name);
    flowControl_ = settings.flowControl;
    parity_ = settings.parity;
    dataBits_ = settings.dataBits;
    stopBits_ = settings.stopBits;
    baudRate_ = settings.baudRate;
    timeoutA_ = settings.timeoutA;
    timeoutB_ = settings.timeoutB;
    if (open(name, baudRate_, parity_, dataBits_, stopBits_)) {
        setTimeouts(timeoutA_, timeoutB_);
    }
}

SerialPort::~SerialPort()
{
    SerialPort::close();
}

void SerialPort::setName(const char* name)
{
    if (name == nullptr) {
        name_.reset();
        return;
    }
    // The new copy is made before the old one goes: the text may be it.
    const size_t size = std::strlen(name) + 1;
    std::unique_ptr<char[]> copy = std::make_unique<char[]>(size);
    std::memcpy(copy.get(), name, size);
    name_ = std::move(copy);
}

bool SerialPort::open(const char* name, int32_t baudRate, int32_t parity, int32_t dataBits,
                      int32_t stopBits)
{
    if (isOpen_) {
        close();
    }
    setName(name);
    wxCriticalSectionLocker locker(lock_);

    // The device is named by the part of the mode text before its settings;
    // a name too long for the text is a device that cannot be opened. The
    // text is made from the private copy: `name` may have been the old one.
    char mode[1024];
    const int length = std::snprintf(mode, sizeof mode, "%s: baud=%d parity=%c data=%d stop=%d",
                                     name_ ? name_.get() : "", baudRate, parity, dataBits,
                                     stopBits);
    const bool fits = length >= 0 && static_cast<size_t>(length) < sizeof mode;
    std::unique_ptr<SerialDevice> device;
    openFailure_.clear();
    if (fits) {
        device = SerialDevice::open(mode, baudRate, openFailure_);
    } else {
        openFailure_ = "device name too long";
    }
    return start(std::move(device), baudRate);
}

bool SerialPort::openDevice(std::unique_ptr<SerialDevice> device, int32_t baudRate)
{
    if (isOpen_) {
        close();
    }
    wxCriticalSectionLocker locker(lock_);
    return start(std::move(device), baudRate);
}

bool SerialPort::start(std::unique_ptr<SerialDevice> device, int32_t baudRate)
{
    // Reads in other threads wait until the device is configured.
    std::unique_lock<std::shared_mutex> sole(deviceUse_);
    device_ = std::move(device);
    if (!device_) {
        lastError_ = SerialPortError;
        return false;
    }
    device_->stopDescriptor = stopFd_.load();

    // (No received-character event mask: nothing here waits for events.)
    device_->readSettings();
    LineSettings& line = device_->settings;
    line.baudRate = static_cast<uint32_t>(baudRate);
    line.binary = true;
    line.xonXoffOutput = false;
    line.xonXoffInput = false;
    line.abortOnError = false;
    line.discardNull = false;
    // No setter call applies the stop bits at open; the stored code goes
    // out with the rest, so that the line agrees with stopBits().
    line.stopBits = lineStopBits(stopBits_, line.stopBits);
    isOpen_ = true;

    setTimeouts(timeoutA_, timeoutB_);
    // Each setter writes the whole configuration, so the first of them
    // also carries the rate and the mode set above to the device.
    setDataBits(dataBits_);
    setParity(parity_);
    setFlowControl(flowControl_);
    return isOpen_;
}

void SerialPort::close()
{
    wxCriticalSectionLocker locker(lock_);
    if (device_) {
        // A read in another thread would otherwise keep the device (and its
        // lock on the line) until its own time-out.
        device_->interrupt();
        std::unique_lock<std::shared_mutex> sole(deviceUse_);
        device_.reset();
    }
    isOpen_ = false;
}

void SerialPort::setStopDescriptor(int fd)
{
    stopFd_ = fd;
    wxCriticalSectionLocker locker(lock_);
    if (device_) {
        device_->stopDescriptor = fd;
    }
}

bool SerialPort::stopRequested() const
{
    return SerialDevice::readable(stopFd_);
}

void SerialPort::setTimeouts(int32_t, int32_t)
{
    wxCriticalSectionLocker locker(lock_);
    timeoutA_ = 0;
    timeoutB_ = 1;
    if (isOpen_) {
        device_->setTimeouts(FixedTimeouts);
    }
}

void SerialPort::setFlowControl(int32_t code)
{
    wxCriticalSectionLocker locker(lock_);
    flowControl_ = code;
    if (!isOpen_) {
        return;
    }
    LineSettings& line = device_->settings;
    switch (code) {
    case FlowNone:
        line.ctsOutputFlow = false;
        line.dtr = DtrControl::Disabled;
        line.xonXoffOutput = line.xonXoffInput = false;
        break;
    case FlowHardware:
        line.ctsOutputFlow = true;
        line.dtr = DtrControl::Handshake;
        line.xonXoffOutput = line.xonXoffInput = false;
        break;
    case FlowSoftware:
        line.ctsOutputFlow = false;
        line.dtr = DtrControl::Disabled;
        line.xonXoffOutput = line.xonXoffInput = true;
        break;
    default:
        break;
    }
    device_->writeSettings();
}

void SerialPort::setParity(int32_t code)
{
    wxCriticalSectionLocker locker(lock_);
    parity_ = code;
    if (!isOpen_) {
        return;
    }
    LineSettings& line = device_->settings;
    // Odd, mark and space are the letters after 'E'.
    switch (code) {
    case 'E': line.parity = LineParity::Even; line.parityCheck = true; break;
    case 'F': line.parity = LineParity::Odd; line.parityCheck = true; break;
    case 'G': line.parity = LineParity::Mark; line.parityCheck = true; break;
    case 'H': line.parity = LineParity::Space; line.parityCheck = true; break;
    case 'N': line.parity = LineParity::None; line.parityCheck = false; break;
    default: break;
    }
    device_->writeSettings();
}

void SerialPort::setDataBits(int32_t bits)
{
    if (!validFrame(bits, stopBits_)) {
        return;
    }
    wxCriticalSectionLocker locker(lock_);
    dataBits_ = bits;
    if (!isOpen_) {
        return;
    }
    if (bits >= 5 && bits <= 8) {
        device_->settings.byteSize = static_cast<uint8_t>(bits);
    }
    device_->writeSettings();
}

void SerialPort::setStopBits(int32_t code)
{
    if (!validFrame(dataBits_, code)) {
        return;
    }
    wxCriticalSectionLocker locker(lock_);
    stopBits_ = code;
    if (!isOpen_) {
        return;
    }
    LineSettings& line = device_->settings;
    line.stopBits = lineStopBits(code, line.stopBits);
    device_->writeSettings();
}

void SerialPort::flush()
{
    wxCriticalSectionLocker locker(lock_);
    if (isOpen_) {
        device_->flush();
    }
}

bool SerialPort::clearErrors()
{
    std::shared_lock<std::shared_mutex> use(deviceUse_);
    return device_ ? device_->clearErrors() : false;
}

bool SerialPort::discardInput()
{
    std::shared_lock<std::shared_mutex> use(deviceUse_);
    return device_ ? device_->discardInput() : false;
}

bool SerialPort::deviceLost() const
{
    std::shared_lock<std::shared_mutex> use(deviceUse_);
    return isOpen_ && device_ && device_->lost();
}

void SerialPort::frameReceived()
{
    std::shared_lock<std::shared_mutex> use(deviceUse_);
    if (device_) {
        device_->frameReceived();
    }
}

bool SerialPort::write(const void* data, uint32_t length)
{
    wxCriticalSectionLocker locker(lock_);
    if (!isOpen_) {
        lastError_ = SerialPortError;
        return false;
    }
    const bool written = device_->write(data, length);
    lastError_ = written ? NoError : WriteError;
    return written;
}

uint32_t SerialPort::read(void* buffer, uint32_t length)
{
    const auto pauseEnd =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(ReadPauseMs);
    uint32_t count = 0;
    bool done = false;
    {
        std::shared_lock<std::shared_mutex> use(deviceUse_);
        done = device_ && device_->readAfterPause(buffer, length, pauseEnd, count);
    }
    if (!done) {
        // Outside the device's use: a close does not wait for the pause.
        SerialDevice::pause(ReadPauseMs, stopFd_);
        std::shared_lock<std::shared_mutex> use(deviceUse_);
        if (device_) {
            count = device_->read(buffer, length);
        }
    }
    if (count == length) {
        lastError_ = NoError;
    } else if (count == 0) {
        lastError_ = NoAnswer;
    }
    return count;
}

bool SerialPort::getTimeouts(PortTimeouts& timeouts)
{
    wxCriticalSectionLocker locker(lock_);
    return device_ ? device_->getTimeouts(timeouts) : false;
}

}  // namespace mirel_varno
