#ifndef MIREL_VARNO_SERIAL_SERIALPORT_H
#define MIREL_VARNO_SERIAL_SERIALPORT_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <string>

#include <wx/thread.h>

namespace mirel_varno {

// Flow-control codes.
enum FlowControl : int32_t { FlowNone = 0, FlowHardware = 1, FlowSoftware = 2 };

// Stop-bits codes.
enum StopBitsCode : int32_t { OneAndHalfStopBits = 0, OneStopBit = 1, TwoStopBits = 2 };

// The block of seven settings that the settings constructor copies whole.
struct PortSettings {
    int32_t flowControl = FlowNone;
    int32_t parity = 'N';
    int32_t dataBits = 8;
    int32_t stopBits = OneStopBit;
    int32_t baudRate = 38400;
    int32_t timeoutA = 0;
    int32_t timeoutB = 500;
};

// The time-out set that a read or write on the device obeys, in
// milliseconds. Reads: the longest gap between two bytes after the first,
// and a total limit of perByte * n + constant. Writes likewise.
struct PortTimeouts {
    uint32_t readInterval = 0;
    uint32_t readTotalPerByte = 0;
    uint32_t readTotalConstant = 0;
    uint32_t writeTotalPerByte = 0;
    uint32_t writeTotalConstant = 0;
};

class SerialDevice;  // the platform layer's open device

// One serial communication device: opened by name, with its line settings,
// fixed time-outs, blocking reads and writes and a last-error code (an
// Error value). No operation raises or prints.
//
// Thread safety: distinct objects are independent. One object may be
// shared: open, close, reopening, the setters, flush and write serialise
// on the port's re-entrant lock; read, clearErrors and deviceLost may run
// beside any of them (but see open for network lines), and a close or open
// in another thread never frees the device under a read (it ends the read
// at once, on a serial device or a network line, and waits for it to
// leave). isOpen, lastError and setStopDescriptor may
// be called from any
// thread. The name and the setting accessors are not synchronised with a
// concurrent open or setter. Bytes read by two threads at once go to
// whichever asked first; a protocol object orders its own exchanges.
class SerialPort {
public:
    SerialPort();
    // Copies the settings, opens the device and, when that succeeds,
    // applies the time-outs. The object exists whether or not it opened.
    SerialPort(const char* name, const PortSettings& settings);
    virtual ~SerialPort();

    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    virtual void setFlowControl(int32_t code);
    virtual void setParity(int32_t code);
    // Data bits and stop bits change nothing when the pair would be one a
    // UART cannot send: 1.5 stop bits need 5-bit bytes, two need more.
    virtual void setDataBits(int32_t bits);
    virtual void setStopBits(int32_t code);
    // Always applies the fixed time-out set; the two values have no effect.
    virtual void setTimeouts(int32_t a, int32_t b);
    // Closes the device if open, then opens and configures it. A name
    // "COMn: ..." names the device before the colon (a path may hold colons
    // of its own). "tcp://HOST:PORT" is a line behind a device server that
    // passes bytes unchanged, "rfc2217://HOST:PORT" one behind a Telnet
    // server with COM port control, which gets the line settings; either
    // may end in "?gap=MS", the inter-byte gap of its reads (default 100 ms,
    // never below 6). A lost network connection reads as a silent line and
    // is made again by itself, inside a read or write; so a network line
    // must not be read on one thread while another writes to it. False and
    // SerialPortError when the device cannot be opened (see openFailure).
    virtual bool open(const char* name, int32_t baudRate, int32_t parity, int32_t dataBits,
                      int32_t stopBits);
    virtual void close();
    // Waits until all buffered output has been transmitted.
    virtual void flush();
    // Clears the device's error state; pending input is kept.
    virtual bool clearErrors();
    // Drops the input that has arrived and not yet been read (bytes still
    // on their way are not waited for). False on a closed port.
    bool discardInput();
    // Writes the bytes within 25 ms a byte plus 1 ms. False with
    // SerialPortError on a closed port, WriteError when the write fails.
    virtual bool write(const void* data, uint32_t length);

    // Pauses 20 ms, then reads up to length bytes: returns when all have
    // arrived, when more than 6 ms pass between two bytes, or after
    // length + 500 ms. Sets NoError when all came, NoAnswer when none did.
    uint32_t read(void* buffer, uint32_t length);

    // Lets a signal handler or another thread cut the port's waits short:
    // while `fd` is readable, the pause before a read, the wait for bytes
    // and the wait for room to write end at once; a read returns what has
    // arrived and a write fails. The descriptor stays the caller's and must
    // stay open while it is set; -1 removes it.
    void setStopDescriptor(int fd);
    // True while the stop descriptor is readable.
    bool stopRequested() const;

    bool isOpen() const { return isOpen_; }
    // True when the open device has gone away (hung up, unplugged): reads
    // and writes fail until the port is opened again.
    bool deviceLost() const;
    int32_t lastError() const { return lastError_; }
    // Tells the device that a valid frame came through it (the protocol
    // calls it): a network line that carried one counts as working.
    void frameReceived();
    // Why the last open failed, for people ("Connection refused", ...);
    // empty after a successful one.
    const std::string& openFailure() const { return openFailure_; }
    const char* name() const { return name_.get(); }
    void setName(const char* name);

    int32_t flowControl() const { return flowControl_; }
    int32_t parity() const { return parity_; }
    int32_t dataBits() const { return dataBits_; }
    int32_t stopBits() const { return stopBits_; }
    int32_t baudRate() const { return baudRate_; }

    // Fills the record from the open device; false on a closed port.
    bool getTimeouts(PortTimeouts& timeouts);

protected:
    void setLastError(int32_t code) { lastError_ = code; }
    // Closes the device if open, then opens the port on a device made by
    // the caller (a line played by a test or a fuzzer) and configures it
    // as open does, at this rate. False and SerialPortError for none.
    bool openDevice(std::unique_ptr<SerialDevice> device, int32_t baudRate);

private:
    // Takes the device and configures it; under lock_.
    bool start(std::unique_ptr<SerialDevice> device, int32_t baudRate);

    std::unique_ptr<char[]> name_;
    int32_t flowControl_ = FlowNone;
    int32_t parity_ = 'N';
    int32_t dataBits_ = 8;
    int32_t stopBits_ = OneStopBit;
    int32_t baudRate_ = 38400;
    int32_t timeoutA_ = 0;
    int32_t timeoutB_ = 500;
    std::atomic<bool> isOpen_{false};
    std::atomic<int32_t> lastError_{0};
    std::atomic<int> stopFd_{-1};
    wxCriticalSection lock_;
    // Changed only under lock_ and with deviceUse_ held alone; the calls
    // that take no lock_ use the device under a shared hold.
    std::unique_ptr<SerialDevice> device_;
    mutable std::shared_mutex deviceUse_;
    std::string openFailure_;
};

}  // namespace mirel_varno

#endif
