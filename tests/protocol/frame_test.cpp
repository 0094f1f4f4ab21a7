#include <gtest/gtest.h>

#include <vector>

#include "protocol/frame.h"

using namespace mirel_varno;

namespace {

std::vector<uint8_t> bytesOf(const FrameHeader& h)
{
    return std::vector<uint8_t>(h.bytes, h.bytes + FrameHeaderSize);
}

std::vector<uint8_t> withChecksum(std::vector<uint8_t> data)
{
    const uint32_t n = static_cast<uint32_t>(data.size());
    data.resize(n + FrameChecksumSize);
    appendChecksum(data.data(), n);
    return data;
}

}  // namespace

TEST(FrameChecksum, WorkedExamples)
{
    const uint8_t abc[] = {0x61, 0x62, 0x63};
    EXPECT_EQ(frameChecksum(abc, 0), 0u);
    EXPECT_EQ(frameChecksum(abc, 1), 0x61u);
    EXPECT_EQ(frameChecksum(abc, 2), 0x6162u);
    EXPECT_EQ(frameChecksum(abc, 3), 0x6E43u);
}

TEST(FrameLayout, WorkedRequestsByteForByte)
{
    // Read variable 24 as a Word from unit 1.2.3.
    FrameHeader read = makeHeader({1, 2, 3}, HostAddress, FunctionCode::ReadVariable,
                                  DataType::Word, 1);
    std::vector<uint8_t> wire = bytesOf(read);
    std::vector<uint8_t> block = withChecksum({0x18});
    wire.insert(wire.end(), block.begin(), block.end());
    EXPECT_EQ(wire, (std::vector<uint8_t>{0x01, 0x02, 0x03, 0x01, 0x01, 0x01, 0x06, 0x05, 0x01,
                                          0x00, 0xA0, 0x45, 0xA4, 0x11, 0x18, 0x18, 0x00, 0x00,
                                          0x00}));

    // Identify to the broadcast address: the header alone.
    FrameHeader identify = makeHeader(BroadcastAddress, HostAddress, FunctionCode::Identify,
                                      DataType::None, 0);
    EXPECT_EQ(bytesOf(identify),
              (std::vector<uint8_t>{0x00, 0x00, 0x00, 0x01, 0x01, 0x01, 0x04, 0x00, 0x00, 0x00,
                                    0x00, 0x04, 0x04, 0x00}));

    // Write the byte 3 into variable 21 of unit 1.2.3.
    FrameHeader write = makeHeader({1, 2, 3}, HostAddress, FunctionCode::WriteVariable,
                                   DataType::Byte, 2);
    wire = bytesOf(write);
    block = withChecksum({0x15, 0x03});
    wire.insert(wire.end(), block.begin(), block.end());
    EXPECT_EQ(wire, (std::vector<uint8_t>{0x01, 0x02, 0x03, 0x01, 0x01, 0x01, 0x08, 0x01, 0x02,
                                          0x00, 0x20, 0x86, 0xA5, 0x11, 0x15, 0x03, 0x03, 0x15,
                                          0x00, 0x00}));
}

TEST(ReplyOutcome, ChecksAreMadeInTheirOrder)
{
    const UnitAddress unit{1, 2, 3};
    FrameHeader good = makeHeader(HostAddress, unit, FunctionCode::ReadVariable, DataType::Word, 3);
    std::vector<uint8_t> data = withChecksum({24, 0x34, 0x12});
    const uint32_t n = static_cast<uint32_t>(data.size());

    EXPECT_EQ(replyOutcome(good, data.data(), n), NoError);

    std::vector<uint8_t> badData = data;
    badData[n - 1] ^= 0x01;
    EXPECT_EQ(replyOutcome(good, badData.data(), n), DataCorrupted);

    FrameHeader badHeader = good;
    badHeader.bytes[13] ^= 0x80;
    EXPECT_EQ(replyOutcome(badHeader, data.data(), n), HeaderCorrupted);
    // The header is verified first.
    EXPECT_EQ(replyOutcome(badHeader, badData.data(), n), HeaderCorrupted);

    // A header announcing no data: only the header checksum counts.
    FrameHeader empty = makeHeader(HostAddress, unit, FunctionCode::Identify, DataType::None, 0);
    EXPECT_EQ(replyOutcome(empty, nullptr, 0), NoError);
    empty.bytes[12] ^= 0x01;
    EXPECT_EQ(replyOutcome(empty, nullptr, 0), HeaderCorrupted);

    // Another function byte or another source address is accepted.
    FrameHeader other = makeHeader({9, 9, 9}, {7, 7, 7}, FunctionCode::WriteVariable,
                                   DataType::Word, 3);
    EXPECT_EQ(replyOutcome(other, data.data(), n), NoError);
}

TEST(ReplyOutcome, ErrorRepliesCarryTheUnitsCodeWithoutChecksums)
{
    FrameHeader error = makeHeader(HostAddress, {1, 2, 3}, FunctionCode::ErrorReply,
                                   DataType::None, 2);
    error.bytes[11] ^= 0xFF;  // header checksum wrong
    std::vector<uint8_t> data = {0x00, 0x04, 0xDE, 0xAD, 0xBE, 0xEF};  // data checksum wrong
    EXPECT_EQ(replyOutcome(error, data.data(), 6), UnknownVariable);

    data[1] = 0;  // code 0: the reply counts as accepted
    EXPECT_EQ(replyOutcome(error, data.data(), 6), NoError);

    // Fewer than two data bytes carry no code.
    FrameHeader shortError = makeHeader(HostAddress, {1, 2, 3}, FunctionCode::ErrorReply,
                                        DataType::None, 1);
    EXPECT_EQ(replyOutcome(shortError, data.data(), 5), UnknownError);
    FrameHeader noData = makeHeader(HostAddress, {1, 2, 3}, FunctionCode::ErrorReply,
                                    DataType::None, 0);
    EXPECT_EQ(replyOutcome(noData, nullptr, 0), UnknownError);
}
