#ifndef MIREL_VARNO_PROTOCOL_FRAME_H
#define MIREL_VARNO_PROTOCOL_FRAME_H

#include <cstddef>
#include <cstdint>

#include "base/datatype.h"
#include "base/error.h"
#include "base/unitaddress.h"

namespace mirel_varno {

// Thread safety: the functions keep no state and may run on any thread;
// a FrameHeader is a plain value, safe to share only for reading.

constexpr UnitAddress HostAddress{1, 1, 1};
constexpr UnitAddress BroadcastAddress{0, 0, 0};

enum class FunctionCode : uint8_t {
    ErrorReply = 3,
    Identify = 4,
    ReadVariable = 6,
    WriteVariable = 8
};

constexpr uint32_t FrameHeaderSize = 14;
// The host's data area for a reply: data bytes plus their 4-byte checksum.
constexpr uint32_t ReplyDataAreaSize = 32768;
constexpr uint32_t FrameChecksumSize = 4;
constexpr uint32_t MaxReplyLength = ReplyDataAreaSize - FrameChecksumSize;  // 32764

// Checksum over a byte block: big-endian 16-bit words folded into a 32-bit
// accumulator with a 5-bit left rotation before each word; an odd leading
// byte starts the accumulator.
uint32_t frameChecksum(const uint8_t* bytes, uint32_t count);

inline void putLE32(uint8_t* out, uint32_t v)
{
    out[0] = static_cast<uint8_t>(v);
    out[1] = static_cast<uint8_t>(v >> 8);
    out[2] = static_cast<uint8_t>(v >> 16);
    out[3] = static_cast<uint8_t>(v >> 24);
}

inline uint32_t getLE32(const uint8_t* in)
{
    return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 |
           static_cast<uint32_t>(in[2]) << 16 | static_cast<uint32_t>(in[3]) << 24;
}

inline uint16_t getLE16(const uint8_t* in)
{
    return static_cast<uint16_t>(in[0] | in[1] << 8);
}

// The 14-byte frame header: destination (3), source (3), function (1),
// data type (1), length (2, little-endian), checksum of bytes 0-9 (4).
struct FrameHeader {
    uint8_t bytes[FrameHeaderSize] = {};

    UnitAddress destination() const { return {bytes[0], bytes[1], bytes[2]}; }
    UnitAddress source() const { return {bytes[3], bytes[4], bytes[5]}; }
    uint8_t function() const { return bytes[6]; }
    uint8_t dataType() const { return bytes[7]; }
    uint16_t length() const { return getLE16(bytes + 8); }
    uint32_t storedChecksum() const { return getLE32(bytes + 10); }
    bool checksumValid() const { return frameChecksum(bytes, 10) == storedChecksum(); }
};

// Lays out a header and stores the checksum of its first ten bytes.
FrameHeader makeHeader(UnitAddress destination, UnitAddress source, FunctionCode function,
                       DataType dataType, uint16_t length);

// Appends the checksum of the first `length` bytes of `block` at
// block + length; the block must have room for length + 4 bytes.
void appendChecksum(uint8_t* block, uint32_t length);

// The verdict on a received reply, in this order: an error reply gives
// its code byte (data byte 1; UnknownError when it carries fewer than two
// data bytes) without checking checksums; then the header checksum
// (HeaderCorrupted), then the data checksum (DataCorrupted); otherwise
// NoError. `data` holds `received` bytes: the data bytes and their
// checksum, or nothing when the header announces no data.
Error replyOutcome(const FrameHeader& header, const uint8_t* data, uint32_t received);

}  // namespace mirel_varno

#endif
