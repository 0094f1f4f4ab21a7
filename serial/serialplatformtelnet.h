#ifndef MIREL_VARNO_SERIAL_SERIALPLATFORMTELNET_H
#define MIREL_VARNO_SERIAL_SERIALPLATFORMTELNET_H

// The client's end of a Telnet session carrying a serial line with the
// COM port control option: option negotiation, the doubling of the byte
// 0xFF in data, and the subnegotiations that set the far port's line.
// Works on byte strings only; the socket is someone else's.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "serial/serialplatform.h"

namespace mirel_varno {

namespace telnet {

enum Command : uint8_t {
    SE = 240,    // end of subnegotiation
    NOP = 241,
    SB = 250,    // start of subnegotiation
    WILL = 251,
    WONT = 252,
    DO = 253,
    DONT = 254,
    IAC = 255,   // interpret as command; doubled it is a data byte 0xFF
};

enum Option : uint8_t {
    Binary = 0,           // 8-bit data without NVT end-of-line rules
    Echo = 1,
    SuppressGoAhead = 3,
    ComPort = 44,         // COM port control
};

// COM port control commands from client to server; the server answers a
// command with the same code plus ServerOffset and the value now in use.
enum ComPortCommand : uint8_t {
    Signature = 0,
    SetBaudRate = 1,      // 4 bytes, network order
    SetDataSize = 2,      // 5..8
    SetParity = 3,        // ParityCode
    SetStopSize = 4,      // StopSizeCode
    SetControl = 5,       // ControlCode
    PurgeData = 12,       // PurgeCode
    ServerOffset = 100,
};

enum ParityCode : uint8_t { ParityNone = 1, ParityOdd = 2, ParityEven = 3, ParityMark = 4, ParitySpace = 5 };
enum StopSizeCode : uint8_t { StopOne = 1, StopTwo = 2, StopOneAndHalf = 3 };
enum PurgeCode : uint8_t { PurgeReceived = 1 };
enum ControlCode : uint8_t {
    FlowNoneOut = 1,
    FlowXonXoffOut = 2,
    FlowHardwareOut = 3,
    DtrOn = 8,
    DtrOff = 9,
    FlowNoneIn = 14,
    FlowXonXoffIn = 15,
    FlowHardwareIn = 16,
};

}  // namespace telnet

// The far port's line as the server last confirmed it; 0 where it has not.
struct FarPortSettings {
    uint32_t baudRate = 0;
    uint8_t dataSize = 0;
    uint8_t parity = 0;    // telnet::ParityCode
    uint8_t stopSize = 0;  // telnet::StopSizeCode
    uint8_t flowOut = 0;   // telnet::ControlCode
    uint8_t dtr = 0;       // telnet::ControlCode
};

// One session's state. Distinct objects: safe. Shared objects: unsafe.
class TelnetSession {
public:
    // Where each side stands on one option (RFC 1143, without the queue).
    enum class OptionState : uint8_t { No, Yes, WantYes, WantNo };

    // The requests that open the session: binary both ways, no go-ahead
    // both ways, and the COM port option on our side.
    void start(std::vector<uint8_t>& out);

    // Takes received bytes. Data bytes are written to `data` (room for
    // `length` bytes is enough: data never grows) and counted in the
    // result; answers to the server's requests are appended to `out`.
    // A command split across calls is completed by the next call.
    size_t receive(const uint8_t* bytes, size_t length, uint8_t* data,
                   std::vector<uint8_t>& out);

    // Appends data bytes as they go on the wire: 0xFF doubled, and a CR
    // followed by NUL while our side is not in binary mode.
    void encode(const uint8_t* bytes, size_t length, std::vector<uint8_t>& out) const;

    // Appends the COM port commands that bring the far port to the line
    // settings, in the order baud rate, data size, parity, stop size,
    // flow, DTR. Only settings that differ from the last ones sent go,
    // unless `all`. Nothing while the server has not agreed to the option.
    void comPortSettings(const LineSettings& line, bool all, std::vector<uint8_t>& out);

    // Appends the request to drop what the far port has received and not
    // yet sent on: bytes from before this session answer nothing of ours.
    void purgeReceived(std::vector<uint8_t>& out);

    // True once the server has answered every COM port command sent that
    // sets the line (rate, data size, parity, stop size) or purges it.
    // SET-CONTROL is left out: servers carry it out without confirming
    // every value (ser2net never answers DTR on or off).
    bool comPortSettled() const;

    // True once a subnegotiation has run on past any COM port command's
    // length without its end: everything after it would be swallowed, so
    // the connection is no longer of use.
    bool broken() const { return broken_; }

    // Whether the server agreed to COM port control (Yes), refused (No)
    // or has not answered yet (WantYes).
    OptionState comPort() const { return local_[telnet::ComPort]; }
    OptionState local(uint8_t option) const { return local_[option]; }
    OptionState remote(uint8_t option) const { return remote_[option]; }
    const FarPortSettings& farPort() const { return farPort_; }

private:
    enum class Step : uint8_t { Data, Cr, Iac, Option, Sub, SubIac };

    void onOption(uint8_t verb, uint8_t option, std::vector<uint8_t>& out);
    void onSubnegotiation();
    void ask(uint8_t verb, uint8_t option, std::vector<uint8_t>& out);

    // Longest subnegotiation kept; the rest of a longer one is dropped.
    static constexpr size_t MaxSub = 64;
    // Longest one taken at all before the session counts as broken.
    static constexpr size_t MaxSubRun = 512;
    static constexpr size_t ServerOffsetLimit = telnet::ServerOffset;

    Step step_ = Step::Data;
    uint8_t verb_ = 0;
    OptionState local_[256] = {};
    OptionState remote_[256] = {};
    uint8_t sub_[MaxSub] = {};
    size_t subLength_ = 0;
    size_t subRun_ = 0;
    bool broken_ = false;
    void comPortCommand(uint8_t code, const uint8_t* value, size_t length,
                        std::vector<uint8_t>& out);

    FarPortSettings sent_;
    uint8_t awaiting_[ServerOffsetLimit] = {};  // unanswered commands by code
    bool anySent_ = false;
    FarPortSettings farPort_;
};

}  // namespace mirel_varno

#endif
