// The simulator's two ends of the line: cutting requests out of whatever
// the host (or noise) sends, and pacing what the units send back.
#include <gtest/gtest.h>

#include "sim/requestreader.h"
#include "sim/transmitter.h"
#include "simtesthelpers.h"

using namespace mirel_varno;
using namespace varno_sim;

namespace {

std::vector<uint8_t> statusRequest(uint8_t third = 3)
{
    return buildFrame({1, 2, third}, HostAddress, FunctionCode::ReadVariable, 5, {24});
}

}  // namespace

TEST(RequestReader, FindsRequestsBetweenGarbageSplitsAndOversizedHeaders)
{
    // An oversized length in an otherwise valid header must not make the
    // reader wait for (or allocate) that much data.
    const auto huge = makeHeader({1, 2, 3}, HostAddress, FunctionCode::WriteVariable, DataType::Byte, 0xFFFF);
    std::vector<uint8_t> stream = {0x00, 0xFF, 0x01, 0x02, 0x03};
    stream.insert(stream.end(), huge.bytes, huge.bytes + FrameHeaderSize);
    for (uint8_t third : {3, 4}) {
        const auto r = statusRequest(third);
        stream.insert(stream.end(), r.begin(), r.end());
    }
    stream.push_back(0x42);

    for (size_t chunk : {stream.size(), size_t{1}, size_t{7}}) {
        SCOPED_TRACE(chunk);
        RequestReader reader;
        std::vector<Request> out;
        for (size_t at = 0; at < stream.size(); at += chunk) {
            reader.feed(stream.data() + at, std::min(chunk, stream.size() - at), 0, out);
        }
        ASSERT_EQ(out.size(), 2u);
        EXPECT_EQ(out[0].header.destination(), (UnitAddress{1, 2, 3}));
        EXPECT_EQ(out[1].header.destination(), (UnitAddress{1, 2, 4}));
        EXPECT_EQ(out[1].data, std::vector<uint8_t>{24});
        EXPECT_TRUE(out[1].dataChecksumValid);
        EXPECT_EQ(reader.droppedBytes(), 5 + FrameHeaderSize);
        EXPECT_EQ(reader.pending(), 1u);
    }
}

TEST(RequestReader, GivesUpAStalledFrameAndBoundsWhatItKeeps)
{
    RequestReader reader;
    std::vector<Request> out;
    const auto r = statusRequest();
    reader.feed(r.data(), 16, 0, out);  // header and part of the data block
    EXPECT_FALSE(reader.expire(RequestReader::StaleAfterNs - 1));
    EXPECT_EQ(reader.expiryDeadline(), RequestReader::StaleAfterNs);
    EXPECT_TRUE(reader.expire(RequestReader::StaleAfterNs));
    EXPECT_EQ(reader.pending(), 0u);
    EXPECT_EQ(reader.expiryDeadline(), -1);

    // A data checksum that does not match still makes a request: the unit
    // answers it with an error reply.
    auto bad = statusRequest();
    bad.back() ^= 1;
    reader.feed(bad.data(), bad.size(), 0, out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_FALSE(out[0].dataChecksumValid);

    // A megabyte of noise without a header in it.
    std::vector<uint8_t> noise(1 << 20, 0xA5);
    reader.feed(noise.data(), noise.size(), 0, out);
    EXPECT_EQ(out.size(), 1u);
    EXPECT_LT(reader.pending(), FrameHeaderSize);
}

TEST(Transmitter, PacesBytesAndKeepsFramesApart)
{
    const int64_t byteNs = 1'000'000;
    Transmitter tx(byteNs);
    tx.schedule({1, 2, 3, 4}, 10 * byteNs);
    tx.schedule({5, 6}, 11 * byteNs);   // would overlap: goes after
    tx.schedule({7}, 2 * byteNs);       // fits before the first
    // A byte reaches the host once it is through: a byte time after its start.
    EXPECT_EQ(tx.nextDeadline(0, 2 * byteNs), 3 * byteNs);

    std::vector<uint8_t> line;
    std::vector<int64_t> at;
    for (int64_t t = 0; t < 30 * byteNs; t += byteNs / 2) {
        for (uint8_t b : tx.due(t)) {
            line.push_back(b);
            at.push_back(t);
        }
    }
    EXPECT_EQ(line, (std::vector<uint8_t>{7, 1, 2, 3, 4, 5, 6}));
    const std::vector<int64_t> expected = {3, 11, 12, 13, 14, 15, 16};
    ASSERT_EQ(at.size(), expected.size());
    for (size_t i = 0; i < at.size(); ++i) {
        EXPECT_EQ(at[i], expected[i] * byteNs);
    }
    EXPECT_EQ(tx.nextDeadline(30 * byteNs, byteNs), -1);

    // Bursts: after the first byte the next wake-up is at least a burst away.
    tx.schedule({1, 2, 3, 4, 5, 6}, 100 * byteNs);
    EXPECT_TRUE(tx.due(101 * byteNs - 1).empty());
    EXPECT_EQ(tx.due(101 * byteNs).size(), 1u);
    EXPECT_EQ(tx.nextDeadline(101 * byteNs, 3 * byteNs), 104 * byteNs);
    EXPECT_EQ(tx.due(104 * byteNs).size(), 3u);

    // What the line did not take goes first next time.
    tx.unsent(std::vector<uint8_t>{9}.data(), 1);
    EXPECT_TRUE(tx.blocked());
    EXPECT_EQ(tx.nextDeadline(104 * byteNs, byteNs), -1);
    EXPECT_EQ(tx.due(104 * byteNs), std::vector<uint8_t>{9});
    EXPECT_FALSE(tx.blocked());
}

TEST(Transmitter, WithoutPacingSendsWholeFramesInOrderAtTheirTimes)
{
    Transmitter tx(0);
    tx.schedule({1, 2}, 50);
    tx.schedule({3}, 50);
    tx.schedule({4}, 100);
    EXPECT_TRUE(tx.due(49).empty());
    EXPECT_EQ(tx.due(50), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(tx.nextDeadline(50, 10), 100);
    EXPECT_EQ(tx.due(1000), std::vector<uint8_t>{4});
}
