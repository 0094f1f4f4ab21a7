#ifndef MIREL_VARNO_PROTOCOL_SERIALPORTVARNOPROTOCOL_H
#define MIREL_VARNO_PROTOCOL_SERIALPORTVARNOPROTOCOL_H

#include <array>
#include <cstdint>
#include <vector>

#include <wx/string.h>
#include <wx/thread.h>

#include "model/algorithm.h"
#include "base/error.h"
#include "model/pointparam.h"
#include "base/unitaddress.h"
#include "protocol/frame.h"
#include "protocol/replyvalue.h"
#include "serial/serialport.h"

namespace mirel_varno {

class PointList;

// The host's end of the Varno protocol: a serial port that exchanges
// frames with the units on its line. Every exchange is one request and one
// reply; a failure raises Exception with its code, which is also left as
// the port's lastError() (NoAnswer, NotAllDataReceived, the unit's error
// code, HeaderCorrupted, DataCorrupted, UnsupportedDataFormat). Nothing is
// ever retried. Each reply is overwritten by the next exchange.
//
// A reply must answer its own request: before each request the input
// already waiting is dropped, and an addressed exchange takes only a frame
// from the addressed unit (for a read, one that echoes the variable asked);
// a late or foreign frame is taken off the line and skipped. Identify, the
// network scan and waitForFrame take a frame from any unit.
//
// Time limits: a reply header must arrive within 54 ms, its data block
// within length + 44 ms, each measured between port reads (every port read
// first pauses 20 ms and waits under the port's own time-outs). While the
// port's stop descriptor is readable (setStopDescriptor), a receive ends
// at once with NoAnswer or NotAllDataReceived, and the scan and the wait
// for a frame end early.
//
// Thread safety: distinct objects are independent. One object may be
// shared: every operation below, from sendFrame to scanNetwork, holds the
// object's lock (re-entrant) from its first request to its last reply, so
// a second thread waits for the whole operation and frames never
// interleave. The lock is taken before the port's own lock, never after
// it. A sendFrame and receiveReply pair made by hand is two operations: a
// user who shares the object must hold the pair together some other way.
// unitErrorText may be called from any thread. The port operations that
// the class inherits follow SerialPort's rules; closing or reopening the
// port in another thread ends a receive under way with NoAnswer or
// NotAllDataReceived.
class SerialPortVarnoProtocol : public SerialPort {
public:
    // Opens the device at 9600 baud, no parity, 8 data bits, 1 stop bit.
    // A failed open does not raise: isOpen() tells.
    explicit SerialPortVarnoProtocol(const char* deviceName);
    ~SerialPortVarnoProtocol() override;

    // Opens the device again under its name with the same line settings,
    // as after an adapter was unplugged and plugged back (see deviceLost).
    bool reopen();

    // ---- Transactions

    // Clears the last error and the device's error state, drops the input
    // that is already waiting (it belongs to an earlier exchange), then
    // writes the header and, when given, `count` data bytes (checksum
    // included). Write failures are left in lastError() and raise nothing.
    void sendFrame(const FrameHeader& header, const uint8_t* data, uint32_t count);
    // Reads exactly `count` bytes into the buffer within count + 40 ms.
    // Raises NoAnswer when nothing came, NotAllDataReceived when some did.
    void readExactly(uint8_t* buffer, uint32_t count);
    // Reads one reply from any unit (header, then its data block) and
    // validates it. Raises the link failures of readExactly, an error
    // reply's code, HeaderCorrupted or DataCorrupted. A header whose checksum
    // is wrong raises HeaderCorrupted at once: the length it announces is
    // not waited for (an error reply's header is taken unchecked when it
    // announces at most 16 bytes). A data block too large for the data area
    // is read and discarded within its time limit and raises DataCorrupted.
    void receiveReply();
    // As receiveReply, but takes only a frame that answers a request to
    // `unit`: one whose source is `unit` (or `alsoFrom`, when given) and,
    // unless `variable` is AnyVariable, whose data block echoes that
    // variable. An error reply from the unit answers whatever it carries.
    // When noise or the tail of an earlier frame comes first, a valid header
    // further on in what arrives within the header's time limit is taken.
    // Any other frame is taken off the line whole and the wait goes on,
    // each frame under its own time limits; NoAnswer when the answer does
    // not come or MaxSkippedFrames frames went by without it.
    void receiveAnswer(const UnitAddress& unit, int32_t variable = AnyVariable,
                       const UnitAddress* alsoFrom = nullptr);

    static constexpr int32_t AnyVariable = -1;
    static constexpr uint32_t MaxSkippedFrames = 8;

    // The protocol's own text for a link or unit error code (see
    // unitErrorText in base/error.h, which layers without the port use).
    static wxString unitErrorText(int32_t code) { return ::mirel_varno::unitErrorText(code); }

    // ---- Primitives

    // ReadVariable exchange answered by the unit with the variable echoed
    // (receiveAnswer); copies the reply's value (sized by the reply's
    // own data type) to the destination, at most `size` bytes, and returns
    // the number copied. Raises UnsupportedDataFormat for a reply whose type
    // cannot be decoded or whose value is shorter than its type needs.
    uint32_t readVariable(const UnitAddress& address, DataType type, uint8_t variable,
                          void* destination, uint32_t size);
    // WriteVariable exchange answered by the unit (receiveAnswer; for
    // variable 29 also from the new address), with the value at `value` in
    // the form of the
    // type: Byte 1 byte, Word uint16_t, DWord uint32_t, Packed a float
    // (packed on the way), Float a float, Block8 8 bytes, Address 3 bytes
    // a, b, c. Raises UnsupportedDataFormat before sending for any other
    // type or when `size` is too small for the type.
    void writeVariable(const UnitAddress& address, DataType type, uint8_t variable,
                       const void* value, uint32_t size);

    // ---- Address exchanges

    // Sends an Identify header alone and takes the first reply from any
    // unit; `source`, if given, receives the replying unit's address.
    void identify(const UnitAddress& address, UnitAddress* source = nullptr);
    // Sends nothing; listens for up to 1000 ms (plus the receive under way)
    // for any valid frame and gives its source address. Failed receives are
    // swallowed; false when the time is up.
    bool waitForFrame(UnitAddress& source);

    // ---- Single values (one exchange each unless said otherwise)

    // Variable 24 as Word.
    void readStatus(const UnitAddress& address, uint16_t& status);
    // Variable 30 as Text.
    void readVersion(const UnitAddress& address, wxString& text);
    // Variables 11 and 252 as Text.
    void readText11(const UnitAddress& address, wxString& text);
    void readText252(const UnitAddress& address, wxString& text);
    // Writes the selector to variable 254 as Word, then reads 254 as Text.
    void readText254(const UnitAddress& address, uint16_t selector, wxString& text);
    // Variable 253 as Word; clearWord253 writes 0 to it.
    void readWord253(const UnitAddress& address, uint16_t& value);
    void clearWord253(const UnitAddress& address);
    // Variable 10 as DWord.
    void readDWord10(const UnitAddress& address, uint32_t& value);
    // Variable 9 as Byte: three little-endian 32-bit values (12 bytes).
    void readVariable9(const UnitAddress& address, int32_t& first, int32_t& second,
                       int32_t& third);
    // Variable 15 as Byte: a 32-bit and a 16-bit value.
    void readVariable15(const UnitAddress& address, int32_t& first, int16_t& second);
    // Variables 12 and 13 as Block8, the bytes unchanged.
    void readDate12(const UnitAddress& address, std::array<uint8_t, 8>& date);
    void readDate13(const UnitAddress& address, std::array<uint8_t, 8>& date);
    void writeDate12(const UnitAddress& address, const std::array<uint8_t, 8>& date);
    void writeDate13(const UnitAddress& address, const std::array<uint8_t, 8>& date);
    // Variable 21 as Byte.
    void writeMeasuringAlgorithm(const UnitAddress& address, uint8_t algorithm);
    // Variable 25 as Byte.
    void writeByte25(const UnitAddress& address, uint8_t value);
    // Variable 29 as Address; the reply may come from the old or the new
    // address.
    void writeAddress(const UnitAddress& address, const UnitAddress& newAddress);
    // Variable 29 as Byte, then the 14-byte header of one
    // further frame that the unit sends, discarded unchecked: NoAnswer or
    // NotAllDataReceived when it does not come within 54 ms. The reply and
    // that header may come from the old address or from the old one with
    // its last part replaced by `value`; a whole frame from any other unit
    // is taken off the line and the wait goes on.
    void writeAddressByte(const UnitAddress& address, uint8_t value);

    // The measured value (Float), its time in seconds
    // (DWord) and its accuracy in percent (Byte) of algorithm `algorithm`
    // (variables 34, 35, 36 + 5 * algorithm), or of the current measure for
    // -1 (variables 16, 19, 20), in this order.
    void readMeasure(const UnitAddress& address, int32_t algorithm, float& value,
                     uint32_t& time, uint8_t& accuracy);

    // ---- Parameter and algorithm reads (one exchange per variable)

    // Algorithm i: texts 32 + 5i and 33 + 5i, value 34 + 5i (Float), time
    // 35 + 5i (DWord), accuracy 36 + 5i (Byte); number = i.
    void readAlgorithm(const UnitAddress& address, int32_t index, Algorithm& algorithm);
    // Empties the list, reads the count from variable 22 (Byte), then each
    // algorithm in turn: 1 + 5n exchanges.
    void readAlgorithms(const UnitAddress& address, AlgorithmList& algorithms);
    // Variable 113 + 2i, requested as Byte; a Byte, Packed or Float reply
    // sets value, data type and number (the echoed variable). Any other
    // reply type raises UnsupportedDataFormat, also left as last error.
    void readParamValue(const UnitAddress& address, int32_t index, PointParam& param);
    // Variable 112 + 2i as Text into the name. A reply of another type
    // leaves the name empty and UnsupportedDataFormat as last error,
    // without raising.
    void readParamName(const UnitAddress& address, int32_t index, PointParam& param);
    // Variable 17 as Text into text17.
    void readText17(const UnitAddress& address, PointParams& params);
    // The whole record: identify, texts 27, 30, 11, 17, 18, dates 12 and
    // 13, algorithm 21, byte 28, the parameters (count in 23) and the
    // status-bit texts. The version, the dates, text 11 and the status-bit
    // texts fall back to defaults when their reads raise; any other failure
    // raises and leaves the record filled up to that step.
    void readPointParams(const UnitAddress& address, PointParams& params);
    // Writes each parameter's value to its variable: Byte or Float. Raises
    // UnsupportedDataType (last error untouched) at the first entry of any
    // other data type; the entries before it stay written.
    void writePointParams(const UnitAddress& address, const PointParams& params);
    // Count from variable 250; each text k by writing k - 1 to 251 and
    // reading 251 as Text.
    void readStatusBitTexts(const UnitAddress& address, StatusBitTexts& texts);
    // The changed value variables listed in variable 8, each read and keyed
    // by its parameter index; a repeated index keeps its first text. A
    // Packed value raises UnsupportedDataFormat (it has no value text).
    void readChangedParams(const UnitAddress& address, ChangedParams& changed);

    // ---- Network scan

    // Broadcasts one Identify and listens for 9216 ms (plus the receive
    // under way), appending a new Point for every valid reply in the order
    // of arrival. Failed receives are swallowed. Takes at least 9.216 s.
    // Built with the point layer (monitor/networkscan.cpp), the one place
    // where the protocol reaches up to Point; link varno for it.
    void scanNetwork(PointList& points);

protected:
    // The last reply, as the operations built on the exchanges read it.
    const FrameHeader& replyHeader() const { return replyHeader_; }
    const uint8_t* replyData() const { return replyData_.data(); }
    // Data bytes plus checksum of the last reply (0 when it had none).
    uint32_t receivedCount() const { return receivedCount_; }

    // The value of the last reply; raises UnsupportedDataFormat (also left
    // as the last error) when it cannot be decoded.
    ReplyValue lastReplyValue();
    // One ReadVariable exchange; returns the value of its reply.
    ReplyValue exchangeRead(const UnitAddress& address, DataType type, uint8_t variable);
    // As readVariable, but a value with fewer than `required` bytes raises
    // UnsupportedDataFormat. The destination's rest is left as it was.
    uint32_t readValue(const UnitAddress& address, DataType type, uint8_t variable,
                       void* destination, uint32_t size, uint32_t required);
    // One ReadVariable exchange of a Text variable, decoded.
    wxString readText(const UnitAddress& address, uint8_t variable);

    // The lock that keeps each operation's exchanges together.
    wxCriticalSection& lock() { return lock_; }

private:
    void checkReply();
    void discardExactly(uint32_t count);
    void readHeader(bool resynchronise);
    bool findHeaderFurtherOn();
    uint32_t takePending(uint8_t* buffer, uint32_t count);
    bool readBlock();
    bool answersVariable(int32_t variable) const;

    UnitAddress hostAddress_ = HostAddress;
    FrameHeader replyHeader_;
    std::array<uint8_t, ReplyDataAreaSize> replyData_{};
    uint32_t receivedCount_ = 0;
    // Bytes already read off the line behind a header found further on;
    // the reads that follow take them first.
    std::vector<uint8_t> pending_;
    // The frame being sent, kept for its room.
    std::vector<uint8_t> frame_;
    wxCriticalSection lock_;
};

}  // namespace mirel_varno

#endif
