// The receive path and the single-variable operations over a fake line:
// replies that are already waiting, raw or framed from the input, taken
// apart by every operation of the protocol. A failure may raise Exception;
// nothing may crash, read past a buffer or leave an unknown last error.

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "fuzz/fakeline.h"

using namespace mirel_varno;
using varno_fuzz::check;

namespace {

using Op = std::function<void(SerialPortVarnoProtocol&, varno_fuzz::Input&)>;

UnitAddress addressFrom(varno_fuzz::Input& in)
{
    return {in.byte(), in.byte(), in.byte()};
}

const std::vector<Op>& operations()
{
    static const std::vector<Op> ops = {
        [](SerialPortVarnoProtocol& p, varno_fuzz::Input&) { p.receiveReply(); },
        [](SerialPortVarnoProtocol& p, varno_fuzz::Input& in) {
            uint8_t buffer[64];
            p.readExactly(buffer, in.byte() % sizeof buffer + 1);
        },
        [](SerialPortVarnoProtocol& p, varno_fuzz::Input& in) {
            std::array<uint8_t, 16> dest{};
            const auto type = static_cast<DataType>(in.byte());
            const uint32_t size = in.byte() % (dest.size() + 1);
            const uint32_t n = p.readVariable(addressFrom(in), type, in.byte(), dest.data(), size);
            check(n <= size);
        },
        [](SerialPortVarnoProtocol& p, varno_fuzz::Input& in) {
            uint8_t value[8] = {};
            const auto type = static_cast<DataType>(in.byte());
            const uint32_t size = in.byte() % (sizeof value + 1);
            const std::vector<uint8_t> given = in.bytes(sizeof value);
            std::copy(given.begin(), given.end(), value);
            p.writeVariable(addressFrom(in), type, in.byte(), value, size);
        },
        [](SerialPortVarnoProtocol& p, varno_fuzz::Input& in) {
            UnitAddress source{};
            p.identify(addressFrom(in), &source);
        },
        [](SerialPortVarnoProtocol& p, varno_fuzz::Input&) {
            UnitAddress source{};
            p.waitForFrame(source);
        },
        [](SerialPortVarnoProtocol& p, varno_fuzz::Input& in) {
            uint16_t status;
            p.readStatus(addressFrom(in), status);
        },
        [](SerialPortVarnoProtocol& p, varno_fuzz::Input& in) {
            wxString text;
            p.readVersion(addressFrom(in), text);
        },
        [](SerialPortVarnoProtocol& p, varno_fuzz::Input& in) {
            wxString text;
            const UnitAddress a = addressFrom(in);
            p.readText11(a, text);
            p.readText252(a, text);
        },
        [](SerialPortVarnoProtocol& p, varno_fuzz::Input& in) {
            wxString text;
            const UnitAddress a = addressFrom(in);
            p.readText254(a, static_cast<uint16_t>(in.byte() | in.byte() << 8), text);
        },
        [](SerialPortVarnoProtocol& p, varno_fuzz::Input& in) {
            uint16_t word;
            uint32_t dword;
            const UnitAddress a = addressFrom(in);
            p.readWord253(a, word);
            p.clearWord253(a);
            p.readDWord10(a, dword);
        },
        [](SerialPortVarnoProtocol& p, varno_fuzz::Input& in) {
            int32_t a, b, c;
            int16_t d;
            const UnitAddress u = addressFrom(in);
            p.readVariable9(u, a, b, c);
            p.readVariable15(u, a, d);
        },
        [](SerialPortVarnoProtocol& p, varno_fuzz::Input& in) {
            std::array<uint8_t, 8> date{};
            const UnitAddress u = addressFrom(in);
            p.readDate12(u, date);
            p.writeDate13(u, date);
            p.readDate13(u, date);
            p.writeDate12(u, date);
        },
        [](SerialPortVarnoProtocol& p, varno_fuzz::Input& in) {
            const UnitAddress u = addressFrom(in);
            p.writeMeasuringAlgorithm(u, in.byte());
            p.writeByte25(u, in.byte());
            p.writeAddress(u, addressFrom(in));
        },
        [](SerialPortVarnoProtocol& p, varno_fuzz::Input& in) {
            p.writeAddressByte(addressFrom(in), in.byte());
        },
        [](SerialPortVarnoProtocol& p, varno_fuzz::Input& in) {
            float value;
            uint32_t time;
            uint8_t accuracy;
            const UnitAddress u = addressFrom(in);
            p.readMeasure(u, static_cast<int8_t>(in.byte()), value, time, accuracy);
        },
    };
    return ops;
}

bool knownError(int32_t code)
{
    // The unit's own codes (a byte), and the link and decoding failures.
    return (code >= 0 && code <= 255) || (code >= NoAnswer && code <= UnsupportedDataType);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2) {
        return 0;
    }
    varno_fuzz::Input in(data + 2, size - 2);
    varno_fuzz::FakeLine line(in, (data[0] & 0x80) == 0);
    varno_fuzz::FuzzProtocol port(line);
    const auto& ops = operations();
    // Two operations: the second starts after whatever the first left.
    for (const uint8_t pick : {data[0], data[1]}) {
        try {
            ops[pick % ops.size()](port, in);
        } catch (const Exception& e) {
            check(knownError(e.code()));
        }
        check(knownError(port.lastError()));
    }
    return 0;
}
