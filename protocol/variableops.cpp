// The single-variable operations: read and write one variable, the address
// exchanges, and the reads and writes built on them.

#include <cstring>

#include "base/floatbits.h"
#include "protocol/lsingle.h"
#include "protocol/serialportvarnoprotocol.h"
#include "protocol/textcodec.h"
#include "protocol/unitvariables.h"
#include "base/clock.h"

namespace mirel_varno {

namespace {

constexpr uint32_t WaitForFrameMs = 1000;
// The largest request data block: variable number, an 8-byte value and the
// checksum.
constexpr uint32_t MaxRequestBlock = 1 + 8 + FrameChecksumSize;


// Value bytes that a write of this type carries, 0 for a type that cannot
// be written.
uint32_t writeValueSize(DataType type)
{
    switch (type) {
    case DataType::Byte:
        return 1;
    case DataType::Word:
        return 2;
    case DataType::DWord:
    case DataType::Packed:
    case DataType::Float:
        return 4;
    case DataType::Block8:
        return 8;
    case DataType::Address:
        return 3;
    default:
        return 0;
    }
}

// The address a unit takes from a write of variable 29: the three bytes of
// the Address form, or the old address with its last part replaced by the
// byte of the one-byte form.
UnitAddress newAddressAfter(const UnitAddress& old, DataType type, const uint8_t* value)
{
    if (type == DataType::Address) {
        return {value[0], value[1], value[2]};
    }
    return {old.first, old.second, value[0]};
}

int32_t signedLE32(const uint8_t* bytes)
{
    return static_cast<int32_t>(getLE32(bytes));
}

}  // namespace

// ---- Primitives

ReplyValue SerialPortVarnoProtocol::exchangeRead(const UnitAddress& address, DataType type,
                                                 uint8_t variable)
{
    const FrameHeader header =
        makeHeader(address, hostAddress_, FunctionCode::ReadVariable, type, 1);
    uint8_t block[1 + FrameChecksumSize] = {variable};
    appendChecksum(block, 1);
    sendFrame(header, block, sizeof block);
    receiveAnswer(address, variable);
    return lastReplyValue();
}

uint32_t SerialPortVarnoProtocol::readValue(const UnitAddress& address, DataType type,
                                            uint8_t variable, void* destination, uint32_t size,
                                            uint32_t required)
{
    const ReplyValue value = exchangeRead(address, type, variable);
    const int32_t copied = copyReplyValue(value, destination, size, required);
    if (copied < 0) {
        setLastError(UnsupportedDataFormat);
        VARNO_RAISE(UnsupportedDataFormat);
    }
    return static_cast<uint32_t>(copied);
}

uint32_t SerialPortVarnoProtocol::readVariable(const UnitAddress& address, DataType type,
                                               uint8_t variable, void* destination,
                                               uint32_t size)
{
    wxCriticalSectionLocker hold(lock_);
    return readValue(address, type, variable, destination, size, 0);
}

wxString SerialPortVarnoProtocol::readText(const UnitAddress& address, uint8_t variable)
{
    const ReplyValue value = exchangeRead(address, DataType::Text, variable);
    return decodeUtf16le(value.bytes, value.size);
}

void SerialPortVarnoProtocol::writeVariable(const UnitAddress& address, DataType type,
                                            uint8_t variable, const void* value, uint32_t size)
{
    wxCriticalSectionLocker hold(lock_);
    const uint32_t valueSize = writeValueSize(type);
    if (valueSize == 0 || size < valueSize || value == nullptr) {
        setLastError(UnsupportedDataFormat);
        VARNO_RAISE(UnsupportedDataFormat);
    }

    uint8_t block[MaxRequestBlock] = {variable};
    uint8_t* out = block + 1;
    switch (type) {
    case DataType::Word: {
        uint16_t v;
        std::memcpy(&v, value, sizeof v);
        out[0] = static_cast<uint8_t>(v);
        out[1] = static_cast<uint8_t>(v >> 8);
        break;
    }
    case DataType::DWord: {
        uint32_t v;
        std::memcpy(&v, value, sizeof v);
        putLE32(out, v);
        break;
    }
    case DataType::Packed: {
        float v;
        std::memcpy(&v, value, sizeof v);
        putLE32(out, LSingle::fromFloat(v).bits);
        break;
    }
    case DataType::Float: {
        uint32_t bits;
        std::memcpy(&bits, value, sizeof bits);
        putLE32(out, bits);
        break;
    }
    default:  // Byte, Block8, Address: the bytes as they lie
        std::memcpy(out, value, valueSize);
        break;
    }

    const uint32_t length = 1 + valueSize;
    appendChecksum(block, length);
    const FrameHeader header = makeHeader(address, hostAddress_, FunctionCode::WriteVariable,
                                          type, static_cast<uint16_t>(length));
    sendFrame(header, block, length + FrameChecksumSize);
    if (variable == var::Address) {
        // The unit may answer from the address it has just taken.
        const UnitAddress taken = newAddressAfter(address, type, block + 1);
        receiveAnswer(address, AnyVariable, &taken);
    } else {
        receiveAnswer(address);
    }
}

// ---- Address exchanges

void SerialPortVarnoProtocol::identify(const UnitAddress& address, UnitAddress* source)
{
    wxCriticalSectionLocker hold(lock_);
    const FrameHeader header =
        makeHeader(address, hostAddress_, FunctionCode::Identify, DataType::None, 0);
    sendFrame(header, nullptr, 0);
    receiveReply();
    if (source != nullptr) {
        *source = replyHeader_.source();
    }
}

bool SerialPortVarnoProtocol::waitForFrame(UnitAddress& source)
{
    wxCriticalSectionLocker hold(lock_);
    const uint32_t start = tickCount();
    uint32_t now;
    do {
        now = tickCount();
        try {
            receiveReply();
            source = replyHeader_.source();
            return true;
        } catch (const Exception&) {
            // Whatever was on the line was not a frame; listen on, unless
            // the user wants to stop (every receive would fail at once).
            if (stopRequested()) {
                break;
            }
        }
    } while (now - start <= WaitForFrameMs);
    return false;
}

// ---- Single values

void SerialPortVarnoProtocol::readStatus(const UnitAddress& address, uint16_t& status)
{
    wxCriticalSectionLocker hold(lock_);
    uint8_t bytes[2] = {};
    readValue(address, DataType::Word, var::Status, bytes, sizeof bytes, 1);
    status = getLE16(bytes);
}

void SerialPortVarnoProtocol::readVersion(const UnitAddress& address, wxString& text)
{
    wxCriticalSectionLocker hold(lock_);
    text = readText(address, var::Version);
}

void SerialPortVarnoProtocol::readText11(const UnitAddress& address, wxString& text)
{
    wxCriticalSectionLocker hold(lock_);
    text = readText(address, var::Text11);
}

void SerialPortVarnoProtocol::readText252(const UnitAddress& address, wxString& text)
{
    wxCriticalSectionLocker hold(lock_);
    text = readText(address, var::Text252);
}

void SerialPortVarnoProtocol::readText254(const UnitAddress& address, uint16_t selector,
                                          wxString& text)
{
    wxCriticalSectionLocker hold(lock_);
    writeVariable(address, DataType::Word, var::Text254, &selector, sizeof selector);
    text = readText(address, var::Text254);
}

void SerialPortVarnoProtocol::readWord253(const UnitAddress& address, uint16_t& value)
{
    wxCriticalSectionLocker hold(lock_);
    uint8_t bytes[2] = {};
    readValue(address, DataType::Word, var::Word253, bytes, sizeof bytes, 1);
    value = getLE16(bytes);
}

void SerialPortVarnoProtocol::clearWord253(const UnitAddress& address)
{
    wxCriticalSectionLocker hold(lock_);
    const uint16_t zero = 0;
    writeVariable(address, DataType::Word, var::Word253, &zero, sizeof zero);
}

void SerialPortVarnoProtocol::readDWord10(const UnitAddress& address, uint32_t& value)
{
    wxCriticalSectionLocker hold(lock_);
    uint8_t bytes[4] = {};
    readValue(address, DataType::DWord, var::DWord10, bytes, sizeof bytes, 1);
    value = getLE32(bytes);
}

void SerialPortVarnoProtocol::readVariable9(const UnitAddress& address, int32_t& first,
                                            int32_t& second, int32_t& third)
{
    wxCriticalSectionLocker hold(lock_);
    uint8_t bytes[12];
    readValue(address, DataType::Byte, var::Variable9, bytes, sizeof bytes, sizeof bytes);
    first = signedLE32(bytes);
    second = signedLE32(bytes + 4);
    third = signedLE32(bytes + 8);
}

void SerialPortVarnoProtocol::readVariable15(const UnitAddress& address, int32_t& first,
                                             int16_t& second)
{
    wxCriticalSectionLocker hold(lock_);
    uint8_t bytes[6];
    readValue(address, DataType::Byte, var::Variable15, bytes, sizeof bytes, sizeof bytes);
    first = signedLE32(bytes);
    second = static_cast<int16_t>(getLE16(bytes + 4));
}

void SerialPortVarnoProtocol::readDate12(const UnitAddress& address, std::array<uint8_t, 8>& date)
{
    wxCriticalSectionLocker hold(lock_);
    readValue(address, DataType::Block8, var::Date12, date.data(), 8, 8);
}

void SerialPortVarnoProtocol::readDate13(const UnitAddress& address, std::array<uint8_t, 8>& date)
{
    wxCriticalSectionLocker hold(lock_);
    readValue(address, DataType::Block8, var::Date13, date.data(), 8, 8);
}

void SerialPortVarnoProtocol::writeDate12(const UnitAddress& address,
                                          const std::array<uint8_t, 8>& date)
{
    wxCriticalSectionLocker hold(lock_);
    writeVariable(address, DataType::Block8, var::Date12, date.data(), 8);
}

void SerialPortVarnoProtocol::writeDate13(const UnitAddress& address,
                                          const std::array<uint8_t, 8>& date)
{
    wxCriticalSectionLocker hold(lock_);
    writeVariable(address, DataType::Block8, var::Date13, date.data(), 8);
}

void SerialPortVarnoProtocol::writeMeasuringAlgorithm(const UnitAddress& address,
                                                      uint8_t algorithm)
{
    wxCriticalSectionLocker hold(lock_);
    writeVariable(address, DataType::Byte, var::MeasuringAlgorithm, &algorithm, 1);
}

void SerialPortVarnoProtocol::writeByte25(const UnitAddress& address, uint8_t value)
{
    wxCriticalSectionLocker hold(lock_);
    writeVariable(address, DataType::Byte, var::Byte25, &value, 1);
}

void SerialPortVarnoProtocol::writeAddress(const UnitAddress& address,
                                           const UnitAddress& newAddress)
{
    wxCriticalSectionLocker hold(lock_);
    const uint8_t bytes[3] = {newAddress.first, newAddress.second, newAddress.third};
    writeVariable(address, DataType::Address, var::Address, bytes, sizeof bytes);
}

void SerialPortVarnoProtocol::writeAddressByte(const UnitAddress& address, uint8_t value)
{
    wxCriticalSectionLocker hold(lock_);
    writeVariable(address, DataType::Byte, var::Address, &value, 1);
    // The unit follows this write with one further header; take it off the
    // line unexamined, unless it is plainly a whole frame of another unit.
    const UnitAddress taken = newAddressAfter(address, DataType::Byte, &value);
    FrameHeader further;
    for (uint32_t skipped = 0;; ++skipped) {
        readExactly(further.bytes, FrameHeaderSize);
        const UnitAddress source = further.source();
        if (!further.checksumValid() || source == address || source == taken) {
            return;
        }
        if (skipped == MaxSkippedFrames) {
            setLastError(NoAnswer);
            VARNO_RAISE(NoAnswer);
        }
        if (further.length() > 0) {
            discardExactly(further.length() + FrameChecksumSize);
        }
    }
}

// ---- Measure

void SerialPortVarnoProtocol::readMeasure(const UnitAddress& address, int32_t algorithm,
                                          float& value, uint32_t& time, uint8_t& accuracy)
{
    uint8_t valueVar = var::MeasureValue;
    uint8_t timeVar = var::MeasureTime;
    uint8_t accuracyVar = var::MeasureAccuracy;
    if (algorithm != -1) {
        // Variable numbers wrap at 256; unsigned arithmetic keeps that defined.
        const uint32_t base = var::AlgorithmValue0 + 5u * static_cast<uint32_t>(algorithm);
        valueVar = static_cast<uint8_t>(base);
        timeVar = static_cast<uint8_t>(base + 1);
        accuracyVar = static_cast<uint8_t>(base + 2);
    }

    wxCriticalSectionLocker hold(lock_);
    uint8_t bytes[4] = {};
    readValue(address, DataType::Float, valueVar, bytes, sizeof bytes, 1);
    value = floatFromBits(getLE32(bytes));

    uint8_t timeBytes[4] = {};
    readValue(address, DataType::DWord, timeVar, timeBytes, sizeof timeBytes, 1);
    time = getLE32(timeBytes);

    readValue(address, DataType::Byte, accuracyVar, &accuracy, 1, 1);
}

}  // namespace mirel_varno
