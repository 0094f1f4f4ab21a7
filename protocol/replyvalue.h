#ifndef MIREL_VARNO_PROTOCOL_REPLYVALUE_H
#define MIREL_VARNO_PROTOCOL_REPLYVALUE_H

#include <cstddef>
#include <cstdint>

#include "base/error.h"
#include "protocol/frame.h"

namespace mirel_varno {

// Thread safety: the functions keep no state; a ReplyValue points into the
// caller's reply bytes and is as safe to share as they are.

// The value bytes of a reply to a read: they follow the echoed variable
// number in the data block and point into it.
struct ReplyValue {
    const uint8_t* bytes = nullptr;
    uint32_t size = 0;
};

// How many value bytes a reply of this data type carries, given its length
// field: types Byte, Bytes and Text carry length - 1, the fixed types their
// own size. -1 for a type that cannot be taken from a reply (Address and
// every unknown code) and for a length too short for the type.
int32_t replyValueSize(uint8_t dataType, uint32_t length);

// Finds the value of a received reply. `data` holds `received` bytes of its
// data block. The reply's own data type decides the size, whatever was
// requested; the result never reaches past the received bytes.
// UnsupportedDataFormat when the type cannot be decoded or the value is
// shorter than its type needs; NoError otherwise.
Error findReplyValue(const FrameHeader& header, const uint8_t* data, uint32_t received,
                     ReplyValue& value);

// Copies at most `size` bytes of the value to the destination (the rest of
// a longer value is dropped) and returns the number copied, or -1 without
// copying when the value has fewer than `required` bytes.
int32_t copyReplyValue(const ReplyValue& value, void* destination, size_t size, size_t required);

}  // namespace mirel_varno

#endif
