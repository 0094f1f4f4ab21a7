#include <gtest/gtest.h>

#include <vector>

#include "protocol/replyvalue.h"

using namespace mirel_varno;

namespace {

struct Reply {
    FrameHeader header;
    std::vector<uint8_t> data;
};

Reply reply(uint8_t type, std::vector<uint8_t> data)
{
    const uint32_t n = static_cast<uint32_t>(data.size());
    Reply r;
    r.header = makeHeader(HostAddress, {1, 2, 3}, FunctionCode::ReadVariable,
                          static_cast<DataType>(type), static_cast<uint16_t>(n));
    data.resize(n + FrameChecksumSize);
    appendChecksum(data.data(), n);
    r.data = data;
    return r;
}

}  // namespace

TEST(ReplyValue, ReplysOwnTypeDecidesTheSize)
{
    struct Case {
        uint8_t type;
        uint32_t length;
        int32_t size;
    } cases[] = {
        {1, 1, 0},   {1, 7, 6},   {3, 4, 3},   {29, 9, 8},  {1, 0, -1}, {3, 0, -1}, {29, 0, -1},
        {5, 3, 2},   {5, 9, 2},   {5, 2, -1},  {11, 5, 4},  {13, 5, 4}, {25, 5, 4}, {25, 4, -1},
        {31, 9, 8},  {31, 8, -1}, {33, 4, -1}, {0, 3, -1},  {2, 3, -1}, {255, 3, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "type " << int(c.type) << " length " << c.length);
        EXPECT_EQ(replyValueSize(c.type, c.length), c.size);
    }
}

TEST(ReplyValue, ValueFollowsTheVariableNumberAndIsBounded)
{
    Reply r = reply(5, {24, 0x34, 0x12, 0x99});
    ReplyValue v;
    ASSERT_EQ(findReplyValue(r.header, r.data.data(), static_cast<uint32_t>(r.data.size()), v),
              NoError);
    ASSERT_EQ(v.size, 2u);
    EXPECT_EQ(v.bytes, r.data.data() + 1);

    // Fewer bytes received than the length announces: never read past them.
    EXPECT_EQ(findReplyValue(r.header, r.data.data(), 2, v), UnsupportedDataFormat);

    Reply address = reply(33, {29, 1, 2, 3});
    EXPECT_EQ(findReplyValue(address.header, address.data.data(), 8, v), UnsupportedDataFormat);
}
