#include "protocol/frame.h"

namespace mirel_varno {

uint32_t frameChecksum(const uint8_t* bytes, uint32_t count)
{
    uint32_t h = 0;
    uint32_t i = 0;
    if (count % 2 != 0) {
        h = bytes[0];
        i = 1;
    }
    for (; i < count; i += 2) {
        h = (h << 5) | (h >> 27);
        h ^= static_cast<uint32_t>(bytes[i]) << 8 | bytes[i + 1];
    }
    return h;
}

FrameHeader makeHeader(UnitAddress destination, UnitAddress source, FunctionCode function,
                       DataType dataType, uint16_t length)
{
    FrameHeader h;
    h.bytes[0] = destination.first;
    h.bytes[1] = destination.second;
    h.bytes[2] = destination.third;
    h.bytes[3] = source.first;
    h.bytes[4] = source.second;
    h.bytes[5] = source.third;
    h.bytes[6] = static_cast<uint8_t>(function);
    h.bytes[7] = static_cast<uint8_t>(dataType);
    h.bytes[8] = static_cast<uint8_t>(length);
    h.bytes[9] = static_cast<uint8_t>(length >> 8);
    putLE32(h.bytes + 10, frameChecksum(h.bytes, 10));
    return h;
}

void appendChecksum(uint8_t* block, uint32_t length)
{
    putLE32(block + length, frameChecksum(block, length));
}

Error replyOutcome(const FrameHeader& header, const uint8_t* data, uint32_t received)
{
    const uint32_t length = header.length();
    if (header.function() == static_cast<uint8_t>(FunctionCode::ErrorReply)) {
        // An error reply without its code byte cannot say what went wrong.
        if (length < 2 || received < 2) {
            return UnknownError;
        }
        return static_cast<Error>(data[1]);
    }
    if (!header.checksumValid()) {
        return HeaderCorrupted;
    }
    if (length > 0) {
        if (received < length + FrameChecksumSize ||
            frameChecksum(data, length) != getLE32(data + length)) {
            return DataCorrupted;
        }
    }
    return NoError;
}

}  // namespace mirel_varno
