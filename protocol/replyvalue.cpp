#include "protocol/replyvalue.h"

#include <algorithm>
#include <cstring>

namespace mirel_varno {

int32_t replyValueSize(uint8_t dataType, uint32_t length)
{
    int32_t fixed = 0;
    switch (static_cast<DataType>(dataType)) {
    case DataType::Byte:
    case DataType::Bytes:
    case DataType::Text:
        // Length 0 leaves no room even for the echoed variable number.
        return length == 0 ? -1 : static_cast<int32_t>(length - 1);
    case DataType::Word:
        fixed = 2;
        break;
    case DataType::DWord:
    case DataType::Packed:
    case DataType::Float:
        fixed = 4;
        break;
    case DataType::Block8:
        fixed = 8;
        break;
    default:
        return -1;
    }
    // A fixed-size value cut short would have to be made up from bytes the
    // unit never sent.
    return length >= static_cast<uint32_t>(fixed) + 1 ? fixed : -1;
}

Error findReplyValue(const FrameHeader& header, const uint8_t* data, uint32_t received,
                     ReplyValue& value)
{
    const uint32_t length = header.length();
    const int32_t size = replyValueSize(header.dataType(), length);
    if (size < 0) {
        return UnsupportedDataFormat;
    }
    const uint32_t available = std::min(length, received);
    if (available < static_cast<uint32_t>(size) + 1) {
        return UnsupportedDataFormat;
    }
    value.bytes = data + 1;
    value.size = static_cast<uint32_t>(size);
    return NoError;
}

int32_t copyReplyValue(const ReplyValue& value, void* destination, size_t size, size_t required)
{
    if (value.size < required) {
        return -1;
    }
    const size_t count = std::min<size_t>(value.size, size);
    if (count > 0) {
        std::memcpy(destination, value.bytes, count);
    }
    return static_cast<int32_t>(count);
}

}  // namespace mirel_varno
