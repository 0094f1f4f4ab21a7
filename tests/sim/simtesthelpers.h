#ifndef VARNO_TESTS_SIM_SIMTESTHELPERS_H
#define VARNO_TESTS_SIM_SIMTESTHELPERS_H

#include <cstring>
#include <vector>

#include "protocol/frame.h"
#include "sim/requestreader.h"
#include "sim/simunit.h"

namespace varno_test {

// A request as the host lays it out, cut by the simulator's own reader.
inline varno_sim::Request makeRequest(mirel_varno::UnitAddress to, mirel_varno::FunctionCode function,
                                      mirel_varno::DataType type, std::vector<uint8_t> data = {})
{
    const std::vector<uint8_t> frame =
        varno_sim::buildFrame(to, mirel_varno::HostAddress, function, static_cast<uint8_t>(type), data);
    varno_sim::RequestReader reader;
    std::vector<varno_sim::Request> out;
    reader.feed(frame.data(), frame.size(), 0, out);
    return out.at(0);
}

inline varno_sim::Request readRequest(mirel_varno::UnitAddress to, uint8_t variable,
                                      mirel_varno::DataType type = mirel_varno::DataType::Byte)
{
    return makeRequest(to, mirel_varno::FunctionCode::ReadVariable, type, {variable});
}

// A reply frame taken apart, with both checksums judged.
struct ParsedReply {
    mirel_varno::FrameHeader header;
    std::vector<uint8_t> data;
    bool headerValid = false;
    bool dataValid = false;
    std::vector<uint8_t> value() const
    {
        return data.empty() ? data : std::vector<uint8_t>(data.begin() + 1, data.end());
    }
};

inline ParsedReply parseReply(const std::vector<uint8_t>& frame)
{
    ParsedReply r;
    if (frame.size() < mirel_varno::FrameHeaderSize) {
        return r;
    }
    std::memcpy(r.header.bytes, frame.data(), mirel_varno::FrameHeaderSize);
    r.headerValid = r.header.checksumValid();
    const size_t length = r.header.length();
    if (length > 0 && frame.size() == mirel_varno::FrameHeaderSize + length + 4) {
        const uint8_t* d = frame.data() + mirel_varno::FrameHeaderSize;
        r.data.assign(d, d + length);
        r.dataValid = mirel_varno::frameChecksum(d, static_cast<uint32_t>(length)) ==
                      mirel_varno::getLE32(d + length);
    }
    return r;
}

}  // namespace varno_test

#endif
