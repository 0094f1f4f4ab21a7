// The composite reads that fill a point's records from single variables,
// and the write of parameter values.

#include <cstring>
#include <vector>

#include "base/floatbits.h"
#include "protocol/lsingle.h"
#include "protocol/serialportvarnoprotocol.h"
#include "protocol/textcodec.h"
#include "protocol/unitvariables.h"

namespace mirel_varno {

namespace {

// Variable numbers wrap at 256; unsigned arithmetic keeps that defined
// for any index.
uint8_t variableFor(uint32_t base, uint32_t stride, int32_t index)
{
    return static_cast<uint8_t>(base + stride * static_cast<uint32_t>(index));
}

float floatFromLE(const uint8_t* bytes)
{
    return floatFromBits(getLE32(bytes));
}

}  // namespace

// ---- Algorithms

void SerialPortVarnoProtocol::readAlgorithm(const UnitAddress& address, int32_t index,
                                            Algorithm& algorithm)
{
    wxCriticalSectionLocker hold(lock_);
    const auto variable = [index](uint32_t offset) {
        return variableFor(var::AlgorithmFirstText0 + offset, 5, index);
    };
    algorithm.firstText = readText(address, variable(0));
    algorithm.secondText = readText(address, variable(1));

    uint8_t bytes[4] = {};
    readValue(address, DataType::Float, variable(2), bytes, sizeof bytes, 1);
    algorithm.value = floatFromLE(bytes);

    uint8_t timeBytes[4] = {};
    readValue(address, DataType::DWord, variable(3), timeBytes, sizeof timeBytes, 1);
    algorithm.time = getLE32(timeBytes);

    readValue(address, DataType::Byte, variable(4), &algorithm.accuracy, 1, 1);
    algorithm.number = index;
}

void SerialPortVarnoProtocol::readAlgorithms(const UnitAddress& address,
                                             AlgorithmList& algorithms)
{
    wxCriticalSectionLocker hold(lock_);
    algorithms.clear();
    uint8_t count = 0;  // stays 0 when the unit sends no byte
    readVariable(address, DataType::Byte, var::AlgorithmCount, &count, 1);
    for (int32_t i = 0; i < count; ++i) {
        Algorithm algorithm;
        readAlgorithm(address, i, algorithm);
        algorithms.push_back(algorithm);
    }
}

// ---- Parameters

void SerialPortVarnoProtocol::readParamValue(const UnitAddress& address, int32_t index,
                                             PointParam& param)
{
    wxCriticalSectionLocker hold(lock_);
    const ReplyValue value =
        exchangeRead(address, DataType::Byte, variableFor(var::ParamValue0, 2, index));
    const auto type = static_cast<DataType>(replyHeader().dataType());
    const uint32_t needed = type == DataType::Byte ? 1 : 4;
    const bool known = type == DataType::Byte || type == DataType::Packed ||
                       type == DataType::Float;
    if (!known || value.size < needed) {
        setLastError(UnsupportedDataFormat);
        VARNO_RAISE(UnsupportedDataFormat);
    }
    switch (type) {
    case DataType::Byte:
        param.setValue(uint8_t{value.bytes[0]});
        break;
    case DataType::Packed:
        param.setValue(LSingle{getLE32(value.bytes)});
        break;
    default:
        param.setValue(floatFromLE(value.bytes));
        break;
    }
    param.setDataType(static_cast<int32_t>(type));
    // The echoed variable number leads the data block.
    param.setNumber(replyData()[0]);
}

void SerialPortVarnoProtocol::readParamName(const UnitAddress& address, int32_t index,
                                            PointParam& param)
{
    wxCriticalSectionLocker hold(lock_);
    // Not exchangeRead: a reply of a type that has no value must not raise
    // here, only leave its mark in the last error.
    const uint8_t variable = variableFor(var::ParamName0, 2, index);
    const FrameHeader header =
        makeHeader(address, HostAddress, FunctionCode::ReadVariable, DataType::Text, 1);
    uint8_t block[1 + FrameChecksumSize] = {variable};
    appendChecksum(block, 1);
    sendFrame(header, block, sizeof block);
    receiveAnswer(address, variable);

    if (replyHeader().dataType() != static_cast<uint8_t>(DataType::Text)) {
        setLastError(UnsupportedDataFormat);
        param = PointParam(param.number(), param.dataType(), wxString(), param.value());
        return;
    }
    const ReplyValue value = lastReplyValue();
    param = PointParam(param.number(), param.dataType(), decodeUtf16le(value.bytes, value.size),
                       param.value());
}

void SerialPortVarnoProtocol::readText17(const UnitAddress& address, PointParams& params)
{
    wxCriticalSectionLocker hold(lock_);
    params.setText17(readText(address, var::Text17));
}

void SerialPortVarnoProtocol::readPointParams(const UnitAddress& address, PointParams& params)
{
    wxCriticalSectionLocker hold(lock_);
    params.reset();

    UnitAddress source;
    identify(address, &source);
    params.setAddress(source);

    params.setText27(readText(address, var::Text27));

    // Older units lack some of these variables; the record says so by its
    // defaults rather than failing as a whole.
    wxString version;
    try {
        readVersion(address, version);
    } catch (const Exception&) {
        version = unknownVersionText();
    }
    params.setVersion(version);

    DateBytes date = DefaultDate;
    try {
        readDate12(address, date);
    } catch (const Exception&) {
        date = DefaultDate;
    }
    params.setDate12(date);
    try {
        readDate13(address, date);
    } catch (const Exception&) {
        date = DefaultDate;
    }
    params.setDate13(date);

    wxString text11;
    try {
        readText11(address, text11);
    } catch (const Exception&) {
        text11.clear();
    }
    params.setText11(text11);

    readText17(address, params);
    params.setText18(readText(address, var::Text18));

    uint8_t byte = 0;
    readValue(address, DataType::Byte, var::MeasuringAlgorithm, &byte, 1, 1);
    params.setMeasuringAlgorithmFromByte(byte);
    readValue(address, DataType::Byte, var::Byte28, &byte, 1, 1);
    params.setByte28(byte);
    uint8_t count = 0;
    readValue(address, DataType::Byte, var::ParamCount, &count, 1, 1);

    PointParam entry;
    for (int32_t i = 0; i < count; ++i) {
        readParamValue(address, i, entry);
        readParamName(address, i, entry);
        params.addParam(entry);
    }

    StatusBitTexts texts;
    try {
        readStatusBitTexts(address, texts);
    } catch (const Exception&) {
        texts = StatusBitTexts::withDefaults();
    }
    params.setStatusTexts(texts);
}

void SerialPortVarnoProtocol::writePointParams(const UnitAddress& address,
                                               const PointParams& params)
{
    wxCriticalSectionLocker hold(lock_);
    for (const PointParam& param : params.params()) {
        switch (static_cast<DataType>(param.dataType())) {
        case DataType::Byte: {
            const uint8_t value = param.valueAs<uint8_t>();
            writeVariable(address, DataType::Byte, param.number(), &value, sizeof value);
            break;
        }
        case DataType::Float: {
            const float value = param.valueAs<float>();
            writeVariable(address, DataType::Float, param.number(), &value, sizeof value);
            break;
        }
        default:
            VARNO_RAISE(UnsupportedDataType);
        }
    }
}

// ---- Status-bit texts and changes

void SerialPortVarnoProtocol::readStatusBitTexts(const UnitAddress& address,
                                                 StatusBitTexts& texts)
{
    wxCriticalSectionLocker hold(lock_);
    uint8_t count = 0;
    readValue(address, DataType::Byte, var::StatusTextCount, &count, 1, 1);
    StatusBitTexts::TextMap map;
    for (int32_t k = 1; k <= count; ++k) {
        const uint8_t selector = static_cast<uint8_t>(k - 1);
        writeVariable(address, DataType::Byte, var::StatusText, &selector, sizeof selector);
        map[static_cast<uint8_t>(k)] = readText(address, var::StatusText);
    }
    texts = StatusBitTexts(map);
}

void SerialPortVarnoProtocol::readChangedParams(const UnitAddress& address,
                                                ChangedParams& changed)
{
    wxCriticalSectionLocker hold(lock_);
    // Copied out: every following exchange overwrites the reply.
    const ReplyValue list = exchangeRead(address, DataType::Byte, var::ChangedParams);
    const std::vector<uint8_t> variables(list.bytes, list.bytes + list.size);

    ChangedParams texts;
    PointParam entry;
    for (uint8_t variable : variables) {
        const int32_t index = (static_cast<int32_t>(variable) - 113) / 2;
        readParamValue(address, index, entry);
        texts.emplace(static_cast<uint8_t>(index), entry.valueText());
    }
    changed = texts;
}

}  // namespace mirel_varno
