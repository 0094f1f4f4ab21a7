// Feeds arbitrary bytes through the way a reply is received and taken
// apart: header, data block into the reply data area, the verdict on the
// reply, the value by the reply's data type, its copy into each kind of
// destination, and the decoding of texts and packed numbers.

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "protocol/frame.h"
#include "protocol/lsingle.h"
#include "protocol/replyvalue.h"
#include "protocol/textcodec.h"

using namespace mirel_varno;

namespace {

void check(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

// A packed number stays in its fields: zero, or a normalised mantissa.
void checkPacked(LSingle packed)
{
    check(packed.bits >> 16 == 0);
    check(packed.mantissa() == 0 || (packed.mantissa() >= 102 && packed.mantissa() <= 1023));
}

void takeValue(const ReplyValue& value)
{
    // The destinations of the single-value operations, with the number of
    // bytes each needs.
    uint8_t dest[12];
    const struct {
        size_t size;
        size_t required;
    } uses[] = {{2, 1}, {4, 1}, {1, 1}, {12, 12}, {6, 6}, {8, 8}, {sizeof dest, 0}};
    for (const auto& use : uses) {
        const int32_t copied = copyReplyValue(value, dest, use.size, use.required);
        check(copied <= static_cast<int32_t>(use.size));
        check(copied < 0 ? value.size < use.required : static_cast<size_t>(copied) <= value.size);
    }

    const wxString text = decodeUtf16le(value.bytes, value.size);
    check(text.length() <= value.size / 2);
    // What was decoded encodes and decodes to itself.
    const std::vector<uint8_t> again = encodeUtf16le(text);
    check(decodeUtf16le(again.data(), again.size()) == text);

    if (value.size >= 4) {
        LSingle packed;
        packed.bits = getLE32(value.bytes);
        const float f = packed.toFloat();
        checkPacked(LSingle::fromFloat(f));
        float raw;
        std::memcpy(&raw, value.bytes, sizeof raw);
        checkPacked(LSingle::fromFloat(raw));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The first byte says which checksums to make right, so that the
    // decoding behind the checks is reached as often as the checks.
    if (size < 1 + FrameHeaderSize) {
        return 0;
    }
    const uint8_t mode = data[0];
    ++data;
    --size;

    // Reception: a header, then as many data bytes as it announces; the
    // input stopping short is a partial reply and ends the exchange.
    FrameHeader header;
    std::memcpy(header.bytes, data, FrameHeaderSize);
    if (mode & 1) {
        putLE32(header.bytes + 10, frameChecksum(header.bytes, 10));
    }
    const uint8_t* rest = data + FrameHeaderSize;
    const size_t restSize = size - FrameHeaderSize;

    static std::array<uint8_t, ReplyDataAreaSize> area;
    uint32_t received = 0;
    const uint32_t length = header.length();
    if (length > MaxReplyLength) {
        return 0;  // discarded unread
    }
    if (length > 0) {
        const uint32_t block = length + FrameChecksumSize;
        if (restSize < block) {
            return 0;
        }
        std::memcpy(area.data(), rest, block);
        if (mode & 2) {
            appendChecksum(area.data(), length);
        }
        received = block;
    }

    const Error outcome = replyOutcome(header, area.data(), received);
    check(outcome >= 0 && outcome <= 255);
    if (outcome != NoError) {
        return 0;
    }
    ReplyValue value;
    if (findReplyValue(header, area.data(), received, value) != NoError) {
        return 0;
    }
    check(value.bytes >= area.data() + 1);
    check(value.bytes + value.size <= area.data() + length);
    takeValue(value);

    // The raw input as a text of any length.
    const wxString text = decodeUtf16le(data, size);
    check(text.length() <= size / 2);
    return 0;
}
