#ifndef MIREL_VARNO_SERIAL_SERIALPLATFORM_H
#define MIREL_VARNO_SERIAL_SERIALPLATFORM_H

// The platform layer under SerialPort: the few device operations that the
// port needs, in the port's own terms. Internal to the library; each
// operating system implements it in one file (serialplatformlinux.cpp).

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "serial/serialport.h"

namespace mirel_varno {

enum class LineParity : uint8_t { None, Odd, Even, Mark, Space };
enum class LineStopBits : uint8_t { One, OneAndHalf, Two };
enum class DtrControl : uint8_t { Disabled, Enabled, Handshake };

// The device's line state as the port reads, changes and writes it back
// whole. Values a platform cannot express are kept here as set and
// approximated or ignored by its layer.
struct LineSettings {
    uint32_t baudRate = 9600;
    bool binary = true;             // no input or output processing of any byte
    bool parityCheck = false;       // check the parity of received bytes
    bool ctsOutputFlow = false;     // hold output while clear-to-send is off
    DtrControl dtr = DtrControl::Enabled;
    bool xonXoffOutput = false;     // stop output on XOFF received, resume on XON
    bool xonXoffInput = false;      // send XOFF/XON as the input buffer fills and drains
    bool abortOnError = false;      // stop transfers after a line error
    bool discardNull = false;       // drop received zero bytes
    uint8_t byteSize = 8;           // data bits, 5 to 8
    LineParity parity = LineParity::None;
    LineStopBits stopBits = LineStopBits::One;
};

// What one character takes on a line of these settings, in nanoseconds:
// start bit, data bits, parity bit and stop bits at the baud rate; 0 when
// the rate is 0. For lines whose driver cannot say (network lines).
int64_t lineByteTimeNs(const LineSettings& settings);

// One open serial device. Transfers are synchronous and bounded by the
// time-outs last given; no operation raises or prints.
class SerialDevice {
public:
    // Opens the device named by the part of the mode text before the
    // settings: a network line for "tcp://HOST:PORT" or "rfc2217://HOST:PORT"
    // (serialplatformnet.h), otherwise a terminal device (openTerminal) at a
    // rate it supports. Null when it cannot be opened, with a reason for
    // people in `reason`.
    static std::unique_ptr<SerialDevice> open(const char* modeText, int32_t baudRate,
                                              std::string& reason);
    // The operating system's layer: opens the terminal device for reading
    // and writing and for this opener alone. Null when it cannot be opened,
    // is not a terminal or is in use.
    static std::unique_ptr<SerialDevice> openTerminal(const char* modeText);
    // Whether the terminal layer can set the line to this many bits per second.
    static bool supportsBaudRate(int32_t baudRate);

    SerialDevice() = default;
    SerialDevice(const SerialDevice&) = delete;
    SerialDevice& operator=(const SerialDevice&) = delete;
    virtual ~SerialDevice() = default;

    // The device's configuration: read at open, changed by the port's
    // setters and written back whole.
    LineSettings settings;

    // While this descriptor is readable every wait of a transfer ends at
    // once and the transfer returns what it has done (the port's stop
    // descriptor); -1 for none.
    std::atomic<int> stopDescriptor{-1};

    // Ends the transfers under way, and makes every later one end at once:
    // the device is about to be closed. Safe from any thread.
    virtual void interrupt() {}

    // The layer above found a valid frame in what the device delivered: the
    // line works. A network line starts its reconnection back-off afresh
    // only after a connection has worked.
    virtual void frameReceived() {}

    // Sleeps on the monotonic clock unless `fd` is, or becomes, readable;
    // false when cut short that way. -1 is never readable.
    static bool pause(uint32_t milliseconds, int fd);
    // Whether `fd` is readable now; false for -1.
    static bool readable(int fd);

    // Fills settings from the device.
    virtual bool readSettings() = 0;
    // Gives settings to the device.
    virtual bool writeSettings() = 0;

    // Read and write limits in milliseconds; a zero gap, or zero per-byte
    // and constant parts, means no such limit. A gap of 0xFFFFFFFF with no
    // total limit makes reads return at once with what has arrived.
    virtual bool setTimeouts(const PortTimeouts& timeouts) = 0;
    virtual bool getTimeouts(PortTimeouts& timeouts) = 0;

    // Reads up to length bytes under the read time-outs; the count that came.
    virtual uint32_t read(void* buffer, uint32_t length) = 0;
    // Pauses until `pauseEnd`, then reads as read() does, with the total
    // limit counted from `pauseEnd`. A device that knows no answer to what
    // it last wrote can begin before then waits for the answer's first
    // byte instead of waking at the pause's end as well. False, having done
    // nothing, when it cannot know that: the caller pauses and reads.
    virtual bool readAfterPause(void* /*buffer*/, uint32_t /*length*/,
                                std::chrono::steady_clock::time_point /*pauseEnd*/,
                                uint32_t& /*count*/)
    {
        return false;
    }
    // Writes all bytes within the write time-out; false when they could not.
    virtual bool write(const void* data, uint32_t length) = 0;
    // Waits until all written bytes have left the device.
    virtual bool flush() = 0;
    // Clears the device's latched line errors; pending input is kept.
    virtual bool clearErrors() = 0;
    // Drops the input that has arrived and not been read. The default reads
    // it off under "return at once" limits and puts the limits back.
    virtual bool discardInput();
    // True once a transfer found the device gone (hung up, unplugged): it
    // will not come back on this handle, only by opening it again. Network
    // lines reconnect by themselves and are never lost.
    virtual bool lost() const = 0;
};

}  // namespace mirel_varno

#endif
