#include "sim/simunit.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "base/floatbits.h"
#include "protocol/lsingle.h"
#include "protocol/textcodec.h"
#include "sim/simulator.h"
#include "simtesthelpers.h"

using namespace mirel_varno;
using namespace varno_sim;
using varno_test::makeRequest;
using varno_test::ParsedReply;
using varno_test::parseReply;
using varno_test::readRequest;

namespace {

constexpr UnitAddress Unit{1, 2, 3};

float asFloat(const std::vector<uint8_t>& v)
{
    return floatFromBits(getLE32(v.data()));
}

UnitState sampleState()
{
    UnitState s;
    s.address = Unit;
    s.status = 0x1234;
    s.measureValue = 12.5f;
    s.measureTime = 30;
    s.measureAccuracy = 7;
    s.version = wxString::FromUTF8("Ünit \xF0\x9F\x94\xA5 2");  // outside the BMP too
    s.var9 = {{1, -2, 3}};
    s.var15Long = -5;
    s.var15Short = -6;
    s.algorithms = {SimAlgorithm{"A0", "B0", 1.5f, 10, 1}, SimAlgorithm{"A1", "B1", 2.5f, 20, 2}};
    s.params = {SimParam{"P0", DataType::Byte, 7}, SimParam{"P1", DataType::Packed, LSingle::fromFloat(25.0f).bits},
                SimParam{"P2", DataType::Float, 0}};
    s.statusBitTexts = {"bit0", "bit1"};
    s.texts254 = {{3, "three"}};
    return s;
}

ParsedReply ask(SimUnit& unit, const Request& r)
{
    const Answer a = unit.answer(r);
    EXPECT_FALSE(a.silent);
    return parseReply(a.frame);
}

}  // namespace

TEST(SimUnit, ReadRepliesEchoVariableAndCarryTheValueInItsOwnType)
{
    SimUnit unit(sampleState());
    struct Case {
        uint8_t variable;
        DataType type;
        std::vector<uint8_t> value;
    };
    const std::vector<Case> cases = {
        {24, DataType::Word, {0x34, 0x12}},
        {19, DataType::DWord, {30, 0, 0, 0}},
        {20, DataType::Byte, {7}},
        {22, DataType::Byte, {2}},
        {23, DataType::Byte, {3}},
        {250, DataType::Byte, {2}},
        {12, DataType::Block8, {0x50, 1, 1, 0, 0, 0, 0, 0}},
        {9, DataType::Byte, {1, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF, 3, 0, 0, 0}},
        {15, DataType::Byte, {0xFB, 0xFF, 0xFF, 0xFF, 0xFA, 0xFF}},
        {40, DataType::DWord, {20, 0, 0, 0}},  // algorithm 1, time
        {41, DataType::Byte, {2}},             // algorithm 1, accuracy
        {113, DataType::Byte, {7}},            // parameter 0
        {115, DataType::Packed, {0xFA, 0x04, 0, 0}},
        {30, DataType::Text, encodeUtf16le(unit.state().version)},
        {116, DataType::Text, encodeUtf16le("P2")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.variable));
        // The requested type does not decide the reply's type.
        const ParsedReply r = ask(unit, readRequest(Unit, c.variable, DataType::Word));
        EXPECT_TRUE(r.headerValid);
        EXPECT_TRUE(r.dataValid);
        EXPECT_EQ(r.header.source(), Unit);
        EXPECT_EQ(r.header.destination(), HostAddress);
        EXPECT_EQ(r.header.function(), static_cast<uint8_t>(FunctionCode::ReadVariable));
        EXPECT_EQ(r.header.dataType(), static_cast<uint8_t>(c.type));
        ASSERT_FALSE(r.data.empty());
        EXPECT_EQ(r.data[0], c.variable);
        EXPECT_EQ(r.value(), c.value);
    }
    EXPECT_FLOAT_EQ(asFloat(ask(unit, readRequest(Unit, 16)).value()), 12.5f);
    EXPECT_FLOAT_EQ(asFloat(ask(unit, readRequest(Unit, 39)).value()), 2.5f);
    const auto text = ask(unit, readRequest(Unit, 30)).value();
    EXPECT_EQ(decodeUtf16le(text.data(), text.size()), unit.state().version);
}

TEST(SimUnit, UnknownVariablesAndBadRequestsGetErrorReplies)
{
    SimUnit unit(sampleState());
    struct Case {
        Request request;
        uint8_t code;
    };
    Request corrupted = readRequest(Unit, 24);
    corrupted.dataChecksumValid = false;
    const std::vector<Case> cases = {
        {readRequest(Unit, 99), UnknownVariable},
        {readRequest(Unit, 42), UnknownVariable},   // algorithm 2 does not exist
        {readRequest(Unit, 119), UnknownVariable},  // parameter 3 does not exist
        {readRequest(Unit, 25), UnknownVariable},   // write only
        {makeRequest(Unit, FunctionCode::WriteVariable, DataType::Word, {21, 1, 0}), UnsupportedDataFormat},
        {makeRequest(Unit, FunctionCode::WriteVariable, DataType::Byte, {24, 1}), UnknownVariable},
        {makeRequest(Unit, FunctionCode::ErrorReply, DataType::None, {0, 0}), UnsupportedCommand},
        {corrupted, DataCorrupted},
    };
    for (const Case& c : cases) {
        const ParsedReply r = ask(unit, c.request);
        EXPECT_EQ(r.header.function(), static_cast<uint8_t>(FunctionCode::ErrorReply));
        EXPECT_TRUE(r.headerValid && r.dataValid);
        ASSERT_EQ(r.data.size(), 2u);
        EXPECT_EQ(r.data[1], c.code);
    }
}

TEST(SimUnit, WritesChangeWhatLaterReadsReturn)
{
    SimUnit unit(sampleState());
    auto write = [&](DataType type, std::vector<uint8_t> data) {
        const ParsedReply r = ask(unit, makeRequest(unit.address(), FunctionCode::WriteVariable, type, data));
        EXPECT_TRUE(r.headerValid && r.dataValid);
        EXPECT_EQ(r.header.function(), static_cast<uint8_t>(FunctionCode::WriteVariable));
    };
    auto read = [&](uint8_t v) { return ask(unit, readRequest(unit.address(), v)).value(); };

    write(DataType::Byte, {21, 3});
    EXPECT_EQ(read(21), std::vector<uint8_t>{3});
    write(DataType::Block8, {13, 1, 2, 3, 4, 5, 6, 7, 8});
    EXPECT_EQ(read(13), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));

    // Status-bit texts: select with 251 as a byte, then read it as text.
    write(DataType::Byte, {251, 1});
    EXPECT_EQ(read(251), encodeUtf16le("bit1"));
    write(DataType::Byte, {251, 2});
    EXPECT_EQ(ask(unit, readRequest(unit.address(), 251)).header.function(),
              static_cast<uint8_t>(FunctionCode::ErrorReply));

    write(DataType::Word, {254, 3, 0});
    EXPECT_EQ(read(254), encodeUtf16le("three"));
    write(DataType::Word, {253, 0, 0});
    EXPECT_EQ(read(253), (std::vector<uint8_t>{0, 0}));

    // A float written to a packed parameter is stored packed and listed as changed.
    const uint32_t bits = floatBits(1000.0f);
    write(DataType::Float, {115, uint8_t(bits), uint8_t(bits >> 8), uint8_t(bits >> 16), uint8_t(bits >> 24)});
    EXPECT_EQ(read(115), (std::vector<uint8_t>{0xE8, 0x0B, 0, 0}));  // m 1000, e 2
    write(DataType::Byte, {113, 9});
    write(DataType::Byte, {113, 10});
    EXPECT_EQ(read(8), (std::vector<uint8_t>{115, 113}));

    // The address write answers from the old address; the new one holds after.
    const Answer moved = unit.answer(makeRequest(Unit, FunctionCode::WriteVariable, DataType::Address, {29, 9, 8, 7}));
    EXPECT_EQ(parseReply(moved.frame).header.source(), Unit);
    EXPECT_EQ(unit.address(), (UnitAddress{9, 8, 7}));
    EXPECT_TRUE(moved.follow.empty());

    // The one-byte form is followed by one further valid header.
    const Answer byteForm = unit.answer(makeRequest(unit.address(), FunctionCode::WriteVariable, DataType::Byte, {29, 5}));
    ASSERT_EQ(byteForm.follow.size(), FrameHeaderSize);
    EXPECT_TRUE(parseReply(byteForm.follow).headerValid);
}

TEST(SimUnit, FaultsDamageTheReplyAsDescribed)
{
    struct Case {
        const char* fault;
        bool silent;
        size_t size;  // 0: full reply
        bool headerValid;
        bool dataValid;
        int type;     // -1: unchanged
        int errorCode;
    };
    const size_t full = FrameHeaderSize + 3 + 4;  // status reply
    const std::vector<Case> cases = {
        {"silent", true, 0, false, false, -1, -1},
        {"error 6", false, FrameHeaderSize + 2 + 4, true, true, -1, 6},
        {"corrupt-header", false, full, false, true, -1, -1},
        {"corrupt-data", false, full, true, false, -1, -1},
        {"no-data", false, FrameHeaderSize, true, false, -1, -1},
        {"stop 10", false, 10, false, false, -1, -1},
        {"wrong-type", false, full, true, true, 33, -1},
        {"wrong-type 0 delay 250", false, full, true, true, 0, -1},
        {"from 1.2.6", false, full, true, true, -1, -1},
        {"delay 700 stray 5 times 2", false, full, true, true, -1, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        SimUnit unit(sampleState());
        Fault fault;
        std::string why;
        ASSERT_TRUE(parseFault(splitWords(c.fault), fault, why)) << why;
        unit.setFault(fault);
        const Answer a = unit.answer(readRequest(Unit, 24));
        EXPECT_EQ(a.silent, c.silent);
        if (c.silent) {
            continue;
        }
        EXPECT_EQ(a.frame.size(), c.size);
        EXPECT_EQ(a.delayMs, fault.delayMs);
        EXPECT_EQ(a.stray.size(), fault.strayBytes);
        if (c.size < FrameHeaderSize) {
            continue;
        }
        const ParsedReply r = parseReply(a.frame);
        EXPECT_EQ(r.headerValid, c.headerValid);
        EXPECT_EQ(r.dataValid, c.dataValid);
        if (c.type >= 0) {
            EXPECT_EQ(r.header.dataType(), c.type);
        }
        if (c.errorCode >= 0) {
            EXPECT_EQ(r.header.function(), 3);
            EXPECT_EQ(r.data.at(1), c.errorCode);
        }
        EXPECT_EQ(r.header.source(), fault.otherSource ? fault.source : Unit);
        EXPECT_EQ(describeFault(fault), c.fault == std::string("wrong-type") ? "wrong-type 33" : c.fault);
    }
}

TEST(SimUnit, VariableFaultsWinOverTheUnitFaultForThatVariableOnly)
{
    SimUnit unit(sampleState());
    Fault slow;
    slow.delayMs = 100;
    Fault err;
    err.errorCode = 4;
    unit.setFault(slow);
    unit.setVariableFault(30, err);
    EXPECT_EQ(parseReply(unit.answer(readRequest(Unit, 30)).frame).header.function(), 3);
    const Answer other = unit.answer(readRequest(Unit, 24));
    EXPECT_EQ(other.delayMs, 100u);
    EXPECT_EQ(parseReply(other.frame).header.function(), 6);
    unit.clearVariableFault(30);
    EXPECT_EQ(parseReply(unit.answer(readRequest(Unit, 30)).frame).header.function(), 6);

    // A fault for a number of answers wears off; the other faults stay.
    Fault late;
    std::string why;
    ASSERT_TRUE(parseFault({"delay", "700", "once"}, late, why)) << why;
    unit.setVariableFault(24, late);
    EXPECT_EQ(unit.answer(readRequest(Unit, 24)).delayMs, 700u);
    EXPECT_EQ(unit.answer(readRequest(Unit, 24)).delayMs, 100u);
    ASSERT_TRUE(parseFault({"from", "9.9.9", "times", "2"}, late, why)) << why;
    unit.setFault(late);
    for (UnitAddress expected : {UnitAddress{9, 9, 9}, UnitAddress{9, 9, 9}, Unit}) {
        EXPECT_EQ(parseReply(unit.answer(readRequest(Unit, 24)).frame).header.source(), expected);
    }
    EXPECT_EQ(describeFault(unit.fault()), "none");

    Fault bad;
    EXPECT_FALSE(parseFault({"from", "1.2"}, bad, why));
    EXPECT_FALSE(parseFault({"stray", "5000"}, bad, why));
    EXPECT_FALSE(parseFault({"error"}, bad, why));
    EXPECT_FALSE(parseFault({"error", "256"}, bad, why));
    EXPECT_FALSE(parseFault({"sometimes"}, bad, why));
}

TEST(SimUnit, BroadcastIdentifyRepliesComeOneAfterAnotherWithinTheScanWindow)
{
    std::vector<SimUnit> units;
    const std::vector<UnitAddress> addresses = {{1, 2, 3}, {1, 2, 4}, {255, 255, 255}, {0, 0, 200}, {1, 2, 203}};
    for (UnitAddress a : addresses) {
        UnitState s;
        s.address = a;
        units.emplace_back(s);
    }
    Fault silent;
    silent.silent = true;
    units[1].setFault(silent);

    const int64_t byteNs = 1'041'667;
    Simulator sim(std::move(units), byteNs);
    const auto frame = buildFrame(BroadcastAddress, HostAddress, FunctionCode::Identify, 0, {});
    sim.received(frame.data(), frame.size(), 0);
    EXPECT_EQ(sim.transmitter().queuedFrames(), 4u);

    // Replay the line: whole headers, each from a different unit, all done
    // by 9216 ms, none overlapping (each one's bytes are contiguous).
    std::vector<uint8_t> line;
    std::vector<int64_t> firstByteAt;
    for (int64_t t = 0; t <= 9'216'000'000; t += 500'000) {
        const auto bytes = sim.transmitter().due(t);
        for (size_t i = 0; i < bytes.size(); ++i) {
            if ((line.size() + i) % FrameHeaderSize == 0) {
                firstByteAt.push_back(t);
            }
        }
        line.insert(line.end(), bytes.begin(), bytes.end());
    }
    ASSERT_EQ(line.size(), 4 * FrameHeaderSize);
    std::set<std::vector<uint8_t>> sources;
    for (size_t k = 0; k < 4; ++k) {
        const ParsedReply r = parseReply({line.begin() + k * FrameHeaderSize, line.begin() + (k + 1) * FrameHeaderSize});
        EXPECT_TRUE(r.headerValid);
        sources.insert({r.header.bytes[3], r.header.bytes[4], r.header.bytes[5]});
        EXPECT_NE(r.header.source(), (UnitAddress{1, 2, 4}));
    }
    EXPECT_EQ(sources.size(), 4u);
    for (size_t k = 1; k < firstByteAt.size(); ++k) {
        EXPECT_GE(firstByteAt[k] - firstByteAt[k - 1], 13 * byteNs);
    }
    // 1.2.3 and 1.2.203 share a slot and still do not collide.
    EXPECT_EQ(broadcastDelayMs({1, 2, 3}), broadcastDelayMs({1, 2, 203}));
    EXPECT_LT(broadcastDelayMs({255, 255, 255}), 9216u - 100u);
}
