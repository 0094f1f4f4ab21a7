#include "sim/simunit.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "base/floatbits.h"
#include "protocol/lsingle.h"
#include "protocol/textcodec.h"

namespace varno_sim {

using mirel_varno::DataType;
using mirel_varno::Error;
using mirel_varno::floatBits;
using mirel_varno::floatFromBits;
using mirel_varno::FunctionCode;
using mirel_varno::UnitAddress;

namespace {

constexpr uint8_t FirstAlgorithmVariable = 32;
constexpr uint8_t FirstParamVariable = 112;

void appendLE(std::vector<uint8_t>& out, uint32_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i) {
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
}

// A parameter value as a float, whatever type it is held in.
float paramAsFloat(DataType type, uint32_t raw)
{
    switch (type) {
    case DataType::Packed:
        return mirel_varno::LSingle{raw}.toFloat();
    case DataType::Float:
        return floatFromBits(raw);
    default:
        return static_cast<float>(raw & 0xFF);
    }
}

std::vector<uint8_t> errorFrame(UnitAddress to, UnitAddress from, uint8_t variable, uint8_t code)
{
    return buildFrame(to, from, FunctionCode::ErrorReply, 0, {variable, code});
}

}  // namespace

std::vector<uint8_t> buildFrame(UnitAddress destination, UnitAddress source, FunctionCode function,
                                uint8_t dataType, const std::vector<uint8_t>& data)
{
    // The length field has 16 bits; a longer value is cut to fit.
    const size_t length = std::min<size_t>(data.size(), 0xFFFF);
    const auto header = mirel_varno::makeHeader(destination, source, function,
                                                static_cast<DataType>(dataType),
                                                static_cast<uint16_t>(length));
    const size_t blockSize = length == 0 ? 0 : length + mirel_varno::FrameChecksumSize;
    std::vector<uint8_t> frame(mirel_varno::FrameHeaderSize + blockSize);
    std::copy(std::begin(header.bytes), std::end(header.bytes), frame.begin());
    if (length > 0) {
        std::copy(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(length),
                  frame.begin() + mirel_varno::FrameHeaderSize);
        mirel_varno::appendChecksum(frame.data() + mirel_varno::FrameHeaderSize,
                                    static_cast<uint32_t>(length));
    }
    return frame;
}

uint32_t paramFromFloat(DataType type, float value)
{
    switch (type) {
    case DataType::Packed:
        return mirel_varno::LSingle::fromFloat(value).bits;
    case DataType::Float:
        return floatBits(value);
    default:
        if (!(value > 0.0f)) {
            return 0;
        }
        return value >= 255.0f ? 255u : static_cast<uint32_t>(value + 0.5f);
    }
}

uint32_t broadcastDelayMs(UnitAddress address)
{
    // 200 slots of 45 ms: room for a 14-byte reply and the host's next
    // read; the last slot still ends well inside the 9216 ms window.
    const uint32_t n = static_cast<uint32_t>(address.first) << 16 |
                       static_cast<uint32_t>(address.second) << 8 | address.third;
    return 50 + (n % 200) * 45;
}

void SimUnit::clearFaults()
{
    fault_ = Fault{};
    variableFaults_.clear();
}

Fault SimUnit::takeFault(const Request& request)
{
    const auto& h = request.header;
    const bool isVariableOp =
        (h.function() == static_cast<uint8_t>(FunctionCode::ReadVariable) ||
         h.function() == static_cast<uint8_t>(FunctionCode::WriteVariable)) &&
        !request.data.empty();
    Fault* source = &fault_;
    auto it = isVariableOp ? variableFaults_.find(request.data[0]) : variableFaults_.end();
    if (it != variableFaults_.end()) {
        source = &it->second;
    }
    const Fault fault = *source;
    if (source->times > 0 && --source->times == 0) {
        // Used up: the unit behaves from now on.
        if (source == &fault_) {
            fault_ = Fault{};
        } else {
            variableFaults_.erase(it);
        }
    }
    return fault;
}

Answer SimUnit::answer(const Request& request, bool broadcast)
{
    const auto& h = request.header;
    const bool isVariableOp =
        (h.function() == static_cast<uint8_t>(FunctionCode::ReadVariable) ||
         h.function() == static_cast<uint8_t>(FunctionCode::WriteVariable)) &&
        !request.data.empty();
    Fault fault = takeFault(request);
    if (fault.times == 0) {
        fault = Fault{};  // "times 0": armed for no answer at all
    }

    Answer a;
    if (fault.silent) {
        a.note = "silent (fault)";
        return a;
    }
    if (fault.errorCode >= 0) {
        a.silent = false;
        a.frame = errorFrame(h.source(), state_.address, isVariableOp ? request.data[0] : 0,
                             static_cast<uint8_t>(fault.errorCode));
        a.note = "error reply " + std::to_string(fault.errorCode) + " (fault)";
    } else {
        a = answerClean(request);
    }
    if (a.silent) {
        return a;
    }
    if (fault.any()) {
        damageFrame(fault, a.frame);
        if (a.note.find("(fault)") == std::string::npos) {
            a.note += " [fault: " + describeFault(fault) + "]";
        }
    }
    a.stray = strayNoise(fault.strayBytes);
    a.delayMs = fault.delayMs + (broadcast ? broadcastDelayMs(state_.address) : 0);
    return a;
}

Answer SimUnit::answerClean(const Request& request)
{
    const auto& h = request.header;
    const UnitAddress host = h.source();
    const UnitAddress self = state_.address;
    Answer a;
    a.silent = false;

    const uint8_t variable = request.data.empty() ? 0 : request.data[0];
    if (!request.dataChecksumValid) {
        a.frame = errorFrame(host, self, variable, mirel_varno::DataCorrupted);
        a.note = "error reply 7: request data corrupted";
        return a;
    }

    switch (static_cast<FunctionCode>(h.function())) {
    case FunctionCode::Identify:
        a.frame = buildFrame(host, self, FunctionCode::Identify, 0, {});
        a.note = "identify";
        return a;
    case FunctionCode::ReadVariable: {
        if (request.data.empty()) {
            break;
        }
        DataType type = DataType::None;
        std::vector<uint8_t> value;
        if (!readValue(variable, type, value)) {
            a.frame = errorFrame(host, self, variable, mirel_varno::UnknownVariable);
            a.note = "read " + std::to_string(variable) + ": unknown variable";
            return a;
        }
        value.insert(value.begin(), variable);
        a.frame = buildFrame(host, self, FunctionCode::ReadVariable, static_cast<uint8_t>(type), value);
        a.note = "read " + std::to_string(variable);
        return a;
    }
    case FunctionCode::WriteVariable: {
        if (request.data.empty()) {
            break;
        }
        const auto type = static_cast<DataType>(h.dataType());
        const Error e = writeValue(variable, type, request.data.data() + 1, request.data.size() - 1, a);
        if (e != mirel_varno::NoError) {
            a.frame = errorFrame(host, self, variable, static_cast<uint8_t>(e));
            a.note = "write " + std::to_string(variable) + ": error " + std::to_string(e);
            a.follow.clear();
            return a;
        }
        // The reply comes from the address the request reached.
        a.frame = buildFrame(host, self, FunctionCode::WriteVariable, h.dataType(), {variable});
        if (variable == 29 && type == DataType::Byte) {
            // The one-byte address write is followed by one further header.
            a.follow = buildFrame(host, self, FunctionCode::Identify, 0, {});
        }
        a.note = "write " + std::to_string(variable) + a.note;
        return a;
    }
    default:
        break;
    }
    a.frame = errorFrame(host, self, variable, mirel_varno::UnsupportedCommand);
    a.note = "unsupported function " + std::to_string(h.function());
    return a;
}

bool SimUnit::readValue(uint8_t variable, DataType& type, std::vector<uint8_t>& value) const
{
    const UnitState& s = state_;
    auto text = [&](const wxString& t) {
        type = DataType::Text;
        value = mirel_varno::encodeUtf16le(t);
        return true;
    };
    auto integer = [&](DataType t, uint32_t v, int bytes) {
        type = t;
        appendLE(value, v, bytes);
        return true;
    };

    if (variable >= FirstAlgorithmVariable && variable < FirstParamVariable) {
        const size_t i = (variable - FirstAlgorithmVariable) / 5;
        if (i >= s.algorithms.size()) {
            return false;
        }
        const SimAlgorithm& alg = s.algorithms[i];
        switch ((variable - FirstAlgorithmVariable) % 5) {
        case 0:
            return text(alg.firstText);
        case 1:
            return text(alg.secondText);
        case 2:
            return integer(DataType::Float, floatBits(alg.value), 4);
        case 3:
            return integer(DataType::DWord, static_cast<uint32_t>(alg.time), 4);
        default:
            return integer(DataType::Byte, alg.accuracy, 1);
        }
    }
    if (variable >= FirstParamVariable && variable < 250) {
        const size_t i = (variable - FirstParamVariable) / 2;
        if (i >= s.params.size()) {
            return false;
        }
        const SimParam& p = s.params[i];
        if ((variable - FirstParamVariable) % 2 == 0) {
            return text(p.name);
        }
        return integer(p.type, p.raw, p.type == DataType::Byte ? 1 : 4);
    }

    switch (variable) {
    case 8:
        type = DataType::Byte;
        value = s.changedParams;
        return true;
    case 9:
        type = DataType::Byte;
        for (int32_t v : s.var9) {
            appendLE(value, static_cast<uint32_t>(v), 4);
        }
        return true;
    case 10:
        return integer(DataType::DWord, s.var10, 4);
    case 11:
        return text(s.text11);
    case 12:
        type = DataType::Block8;
        value.assign(s.date12.begin(), s.date12.end());
        return true;
    case 13:
        type = DataType::Block8;
        value.assign(s.date13.begin(), s.date13.end());
        return true;
    case 15:
        type = DataType::Byte;
        appendLE(value, static_cast<uint32_t>(s.var15Long), 4);
        appendLE(value, static_cast<uint16_t>(s.var15Short), 2);
        return true;
    case 16:
        return integer(DataType::Float, floatBits(s.measureValue), 4);
    case 17:
        return text(s.text17);
    case 18:
        return text(s.text18);
    case 19:
        return integer(DataType::DWord, static_cast<uint32_t>(s.measureTime), 4);
    case 20:
        return integer(DataType::Byte, s.measureAccuracy, 1);
    case 21:
        return integer(DataType::Byte, s.currentAlgorithm, 1);
    case 22:
        return integer(DataType::Byte, static_cast<uint32_t>(s.algorithms.size()), 1);
    case 23:
        return integer(DataType::Byte, static_cast<uint32_t>(s.params.size()), 1);
    case 24:
        return integer(DataType::Word, s.status, 2);
    case 27:
        return text(s.text27);
    case 28:
        return integer(DataType::Byte, s.byte28, 1);
    case 30:
        return text(s.version);
    case 250:
        return integer(DataType::Byte, static_cast<uint32_t>(s.statusBitTexts.size()), 1);
    case 251:
        if (s.statusBitSelector >= s.statusBitTexts.size()) {
            return false;
        }
        return text(s.statusBitTexts[s.statusBitSelector]);
    case 252:
        return text(s.text252);
    case 253:
        return integer(DataType::Word, s.word253, 2);
    case 254: {
        auto it = s.texts254.find(s.selector254);
        return text(it == s.texts254.end() ? wxString() : it->second);
    }
    default:
        return false;
    }
}

Error SimUnit::writeValue(uint8_t variable, DataType type, const uint8_t* value, size_t size,
                          Answer& answer)
{
    UnitState& s = state_;
    auto sized = [&](DataType want, size_t bytes) { return type == want && size == bytes; };

    if (variable >= FirstParamVariable && variable < 250 && (variable - FirstParamVariable) % 2 == 1) {
        const size_t i = (variable - FirstParamVariable) / 2;
        if (i >= s.params.size()) {
            return mirel_varno::UnknownVariable;
        }
        float v = 0.0f;
        if (sized(DataType::Byte, 1)) {
            v = static_cast<float>(value[0]);
        } else if (sized(DataType::Packed, 4) || sized(DataType::Float, 4)) {
            v = paramAsFloat(type, mirel_varno::getLE32(value));
        } else {
            return mirel_varno::UnsupportedDataFormat;
        }
        SimParam& p = s.params[i];
        const uint32_t raw = paramFromFloat(p.type, v);
        if (raw != p.raw) {
            p.raw = raw;
            if (std::find(s.changedParams.begin(), s.changedParams.end(), variable) ==
                s.changedParams.end()) {
                s.changedParams.push_back(variable);
            }
        }
        return mirel_varno::NoError;
    }

    switch (variable) {
    case 12:
    case 13:
        if (!sized(DataType::Block8, 8)) {
            return mirel_varno::UnsupportedDataFormat;
        }
        std::memcpy(variable == 12 ? s.date12.data() : s.date13.data(), value, 8);
        return mirel_varno::NoError;
    case 21:
    case 25:
    case 251:
        if (!sized(DataType::Byte, 1)) {
            return mirel_varno::UnsupportedDataFormat;
        }
        (variable == 21 ? s.currentAlgorithm : variable == 25 ? s.byte25 : s.statusBitSelector) =
            value[0];
        return mirel_varno::NoError;
    case 29:
        if (sized(DataType::Address, 3)) {
            // The reply still comes from the old address; the new one
            // holds from the next request on.
            answer.note = " (address " + std::to_string(value[0]) + "." + std::to_string(value[1]) +
                          "." + std::to_string(value[2]) + ")";
            s.address = UnitAddress{value[0], value[1], value[2]};
            return mirel_varno::NoError;
        }
        if (sized(DataType::Byte, 1)) {
            answer.note = " (byte " + std::to_string(value[0]) + ", further header)";
            return mirel_varno::NoError;
        }
        return mirel_varno::UnsupportedDataFormat;
    case 253:
    case 254:
        if (!sized(DataType::Word, 2)) {
            return mirel_varno::UnsupportedDataFormat;
        }
        (variable == 253 ? s.word253 : s.selector254) = mirel_varno::getLE16(value);
        return mirel_varno::NoError;
    default:
        return mirel_varno::UnknownVariable;
    }
}

}  // namespace varno_sim
