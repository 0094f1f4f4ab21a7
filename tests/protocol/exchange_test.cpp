// Exchanges with a unit played on a pseudo-terminal: what goes on the wire,
// how replies are taken, and how each link failure is reported.

#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <memory>
#include <mutex>
#include <tuple>
#include <vector>

#include "base/floatbits.h"
#include "protocol/serialportvarnoprotocol.h"
#include "base/clock.h"
#include "support/pseudoterminal.h"
#include "unitresponder.h"

using namespace mirel_varno;
using varno_test::errorReply;
using varno_test::replyFrame;
using varno_test::Request;
using varno_test::valueReply;
using Bytes = std::vector<uint8_t>;

namespace {

const UnitAddress Unit{1, 2, 3};

Bytes floatBytes(float f)
{
    Bytes out(4);
    putLE32(out.data(), floatBits(f));
    return out;
}

// Runs `call` and returns the code of the Exception it raises (NoError when
// it raises none).
template <typename Call>
Error raisedBy(Call call)
{
    try {
        call();
    } catch (const Exception& e) {
        return e.code();
    }
    return NoError;
}

// Lets the tests see the object's lock.
class TestPort : public SerialPortVarnoProtocol {
public:
    using SerialPortVarnoProtocol::lock;
    using SerialPortVarnoProtocol::SerialPortVarnoProtocol;
};

// Whether another thread could take the lock right now.
bool lockIsFree(TestPort& port)
{
    if (!port.lock().TryEnter()) {
        return false;
    }
    port.lock().Leave();
    return true;
}

class Exchange : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(port.isOpen()); }

    // The requests the unit saw, as (function, data type, variable).
    std::vector<std::tuple<int, int, int>> seen() const
    {
        std::vector<std::tuple<int, int, int>> out;
        for (const Request& r : unit.requests()) {
            out.emplace_back(r.header.function(), r.header.dataType(), r.variable());
        }
        return out;
    }

    varno_test::PseudoTerminal terminal;
    varno_test::UnitResponder unit{terminal};
    TestPort port{terminal.slavePath().c_str()};
};

}  // namespace

TEST_F(Exchange, RequestsGoOnTheWireByteForByte)
{
    unit.script({valueReply(Unit, 5, 24, {0x34, 0x12}),
                 replyFrame(Unit, FunctionCode::WriteVariable, 1, {}),
                 replyFrame({4, 5, 6}, FunctionCode::Identify, 0, {})});

    uint16_t status = 0;
    port.readStatus(Unit, status);
    EXPECT_EQ(status, 0x1234);
    port.writeMeasuringAlgorithm(Unit, 3);
    UnitAddress source;
    port.identify(BroadcastAddress, &source);
    EXPECT_EQ(source, (UnitAddress{4, 5, 6}));

    const std::vector<Request> requests = unit.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].wire,
              (Bytes{0x01, 0x02, 0x03, 0x01, 0x01, 0x01, 0x06, 0x05, 0x01, 0x00, 0xA0, 0x45, 0xA4,
                     0x11, 0x18, 0x18, 0x00, 0x00, 0x00}));
    EXPECT_EQ(requests[1].wire,
              (Bytes{0x01, 0x02, 0x03, 0x01, 0x01, 0x01, 0x08, 0x01, 0x02, 0x00, 0x20, 0x86, 0xA5,
                     0x11, 0x15, 0x03, 0x03, 0x15, 0x00, 0x00}));
    EXPECT_EQ(requests[2].wire, (Bytes{0x00, 0x00, 0x00, 0x01, 0x01, 0x01, 0x04, 0x00, 0x00, 0x00,
                                       0x00, 0x04, 0x04, 0x00}));
    EXPECT_EQ(port.lastError(), NoError);
}

TEST_F(Exchange, WritesLayOutEachTypeAndRefuseTheRest)
{
    unit.setHandler(
        [](const Request&) { return replyFrame(Unit, FunctionCode::WriteVariable, 0, {}); });

    const uint8_t byte = 0xAB;
    const uint16_t word = 0x1234;
    const uint32_t dword = 0x89ABCDEF;
    const float packed = 25.0f;
    const float single = 1.5f;
    const uint8_t block[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const uint8_t address[3] = {7, 8, 9};
    struct Case {
        DataType type;
        const void* value;
        uint32_t size;
        Bytes data;  // after the variable number
    } cases[] = {
        {DataType::Byte, &byte, 1, {0xAB}},
        {DataType::Word, &word, 2, {0x34, 0x12}},
        {DataType::DWord, &dword, 4, {0xEF, 0xCD, 0xAB, 0x89}},
        {DataType::Packed, &packed, 4, {0xFA, 0x04, 0x00, 0x00}},
        {DataType::Float, &single, 4, floatBytes(1.5f)},
        {DataType::Block8, block, 8, {1, 2, 3, 4, 5, 6, 7, 8}},
        {DataType::Address, address, 3, {7, 8, 9}},
    };
    for (const Case& c : cases) {
        port.writeVariable(Unit, c.type, 77, c.value, c.size);
    }
    const std::vector<Request> requests = unit.requests();
    ASSERT_EQ(requests.size(), std::size(cases));
    for (size_t i = 0; i < requests.size(); ++i) {
        SCOPED_TRACE(static_cast<int>(cases[i].type));
        const Request& r = requests[i];
        EXPECT_EQ(r.header.function(), static_cast<uint8_t>(FunctionCode::WriteVariable));
        EXPECT_EQ(r.header.dataType(), static_cast<uint8_t>(cases[i].type));
        ASSERT_EQ(r.header.length(), cases[i].data.size() + 1);
        EXPECT_EQ(r.variable(), 77);
        EXPECT_EQ(Bytes(r.data.begin() + 1, r.data.end() - 4), cases[i].data);
        EXPECT_EQ(frameChecksum(r.data.data(), r.header.length()),
                  getLE32(&r.data[r.header.length()]));
    }

    // Unwritable types, and values smaller than their type: nothing is sent.
    unit.clearRequests();
    EXPECT_EQ(raisedBy([&] { port.writeVariable(Unit, DataType::Text, 11, block, 8); }),
              UnsupportedDataFormat);
    EXPECT_EQ(port.lastError(), UnsupportedDataFormat);
    EXPECT_EQ(raisedBy([&] { port.writeVariable(Unit, DataType::Bytes, 11, block, 8); }),
              UnsupportedDataFormat);
    EXPECT_EQ(raisedBy([&] { port.writeVariable(Unit, DataType::DWord, 10, &word, 2); }),
              UnsupportedDataFormat);
    EXPECT_TRUE(unit.requests().empty());
}

TEST_F(Exchange, ReplyIsTakenByItsOwnType)
{
    struct Case {
        const char* what;
        Bytes reply;
        Error error;
        uint16_t status;
    } cases[] = {
        {"Byte answers Word", valueReply(Unit, 1, 24, {0x7F}), NoError, 0x007F},
        {"DWord cut to the Word", valueReply(Unit, 11, 24, {0x78, 0x56, 0x34, 0x12}), NoError,
         0x5678},
        {"Word with extra bytes", valueReply(Unit, 5, 24, {0x01, 0x02, 0x03}), NoError, 0x0201},
        {"Address is not taken", valueReply(Unit, 33, 24, {1, 2}), UnsupportedDataFormat, 0},
        {"unknown type", valueReply(Unit, 40, 24, {1, 2}), UnsupportedDataFormat, 0},
        {"Word one byte short", valueReply(Unit, 5, 24, {0x01}), UnsupportedDataFormat, 0},
        {"Byte without value", valueReply(Unit, 1, 24, {}), UnsupportedDataFormat, 0},
        {"Byte of length 0", replyFrame(Unit, FunctionCode::ReadVariable, 1, {}),
         UnsupportedDataFormat, 0},
        // Code 0 in an error reply is no error; the reply is taken as it is.
        {"error reply code 0", replyFrame(Unit, FunctionCode::ErrorReply, 5, {24, 0x00, 0x12}),
         NoError, 0x1200},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        unit.script({c.reply});
        uint16_t status = 0xEEEE;
        EXPECT_EQ(raisedBy([&] { port.readStatus(Unit, status); }), c.error);
        EXPECT_EQ(port.lastError(), c.error);
        EXPECT_EQ(status, c.error == NoError ? c.status : 0xEEEE);
    }
}

TEST_F(Exchange, LinkFailuresAreRaisedAndLeftAsLastError)
{
    const Bytes good = valueReply(Unit, 5, 24, {0x34, 0x12});
    Bytes badHeader = good;
    badHeader[12] ^= 0x01;
    Bytes badData = good;
    badData[good.size() - 2] ^= 0x01;
    Bytes badBoth = badHeader;
    badBoth[good.size() - 2] ^= 0x01;
    Bytes unknownVariable = errorReply(Unit, UnknownVariable);
    unknownVariable[11] ^= 0xFF;
    unknownVariable.back() ^= 0xFF;
    const Bytes header3 = Bytes(good.begin(), good.begin() + 14);
    Bytes headerAnd2 = header3;
    headerAnd2.insert(headerAnd2.end(), {24, 0x34});

    struct Case {
        const char* what;
        Bytes reply;
        Error error;
    } cases[] = {
        {"silent unit", {}, NoAnswer},
        {"10 of 14 header bytes", Bytes(good.begin(), good.begin() + 10), NotAllDataReceived},
        {"header, no data", header3, NoAnswer},
        {"header and 2 of 7", headerAnd2, NotAllDataReceived},
        {"header checksum", badHeader, HeaderCorrupted},
        {"data checksum", badData, DataCorrupted},
        {"both checksums", badBoth, HeaderCorrupted},
        {"error reply", unknownVariable, UnknownVariable},
        {"busy", errorReply(Unit, BusyCannotAnswer), BusyCannotAnswer},
        {"code without text", errorReply(Unit, 200), static_cast<Error>(200)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        unit.script({c.reply});
        uint16_t status = 0;
        EXPECT_EQ(raisedBy([&] { port.readStatus(Unit, status); }), c.error);
        EXPECT_EQ(port.lastError(), c.error);
    }

    // A good exchange clears the last error, and the line is still in step.
    unit.script({good});
    uint16_t status = 0;
    port.readStatus(Unit, status);
    EXPECT_EQ(status, 0x1234);
    EXPECT_EQ(port.lastError(), NoError);
}

TEST_F(Exchange, OversizeReplyIsTakenOffTheLine)
{
    Bytes huge = valueReply(Unit, 1, 24, Bytes(40000, 0x5A));
    ASSERT_GT(getLE16(&huge[8]), MaxReplyLength);
    unit.script({huge, valueReply(Unit, 5, 24, {0x34, 0x12})});

    uint16_t status = 0;
    EXPECT_EQ(raisedBy([&] { port.readStatus(Unit, status); }), DataCorrupted);
    EXPECT_EQ(port.lastError(), DataCorrupted);
    port.readStatus(Unit, status);
    EXPECT_EQ(status, 0x1234);

    // A header that announces 65535 bytes and then silence: with a good
    // checksum the discarding ends when the line goes quiet, with a bad one
    // at once; neither waits the 65 s that the length would allow.
    Bytes announced = replyFrame(Unit, FunctionCode::ReadVariable, 5, {});
    announced[8] = announced[9] = 0xFF;
    appendChecksum(announced.data(), 10);
    announced.resize(FrameHeaderSize);
    Bytes damaged = announced;
    damaged[13] ^= 0x40;
    for (const auto& [header, error] : {std::make_pair(announced, DataCorrupted),
                                        std::make_pair(damaged, HeaderCorrupted)}) {
        unit.script({header});
        const uint64_t start = monotonicMs();
        EXPECT_EQ(raisedBy([&] { port.readStatus(Unit, status); }), error);
        EXPECT_LT(monotonicMs() - start, 10000u);
        EXPECT_EQ(port.lastError(), error);
    }
}

TEST_F(Exchange, OnlyTheAnswerToThisRequestIsTaken)
{
    const UnitAddress Other{1, 2, 6};
    const Bytes good = valueReply(Unit, 5, 24, {0x21, 0x00});
    const Bytes foreign = valueReply(Other, 5, 24, {0x42, 0x00});
    const Bytes lateVersion = valueReply(Unit, 29, 30, {'V', 0, 0, 0});
    auto join = [](std::initializer_list<Bytes> parts) {
        Bytes all;
        for (const Bytes& p : parts) {
            all.insert(all.end(), p.begin(), p.end());
        }
        return all;
    };
    Bytes damagedLong = replyFrame(Unit, FunctionCode::ReadVariable, 5, Bytes(2000, 1));
    damagedLong.resize(FrameHeaderSize);
    damagedLong[13] ^= 0x40;
    Bytes errorLong = replyFrame(Unit, FunctionCode::ErrorReply, 0, Bytes(40, 4));
    errorLong.resize(FrameHeaderSize);
    errorLong[13] ^= 0x40;
    Bytes chatter;
    for (int i = 0; i < 9; ++i) {
        chatter = join({chatter, foreign});
    }
    Bytes eightThenGood;
    for (int i = 0; i < 8; ++i) {
        eightThenGood = join({eightThenGood, i % 2 ? foreign : lateVersion});
    }
    eightThenGood = join({eightThenGood, good});

    struct Case {
        const char* what;
        Bytes stale;   // already on the line before the request
        Bytes answer;  // what comes after it
        Error error;
        uint16_t status;
    } cases[] = {
        {"another unit's late reply first", {}, join({foreign, good}), NoError, 0x0021},
        {"own late reply to another variable first", {}, join({lateVersion, good}), NoError, 0x0021},
        {"another unit's error reply first", {}, join({errorReply(Other, 5), good}), NoError, 0x0021},
        {"a frame to nobody in particular first",
         {},
         join({replyFrame(Other, FunctionCode::Identify, 0, {}), good}),
         NoError,
         0x0021},
        {"only another unit answers", {}, foreign, NoAnswer, 0},
        {"only a late reply to another variable", {}, lateVersion, NoAnswer, 0},
        {"own error reply answers whatever it echoes", {}, errorReply(Unit, BusyCannotAnswer),
         BusyCannotAnswer, 0},
        {"noise before the answer", {}, join({{0x55, 0x01, 0x02, 0x03, 0x04}, good}), NoError, 0x0021},
        {"the tail of an earlier frame before the answer",
         {},
         join({Bytes(foreign.end() - 3, foreign.end()), good}),
         NoError,
         0x0021},
        {"noise, then another unit's reply, then the answer",
         {},
         join({{0xA5, 0x5A}, foreign, good}),
         NoError,
         0x0021},
        {"stale reply on the line", foreign, good, NoError, 0x0021},
        {"stale bytes on the line", {0x55, 0x01, 0x02, 0x03, 0x04}, good, NoError, 0x0021},
        {"stale reply of the same unit and variable", valueReply(Unit, 5, 24, {0x99, 0x00}), good,
         NoError, 0x0021},
        {"eight frames skipped, then the answer", {}, eightThenGood, NoError, 0x0021},
        {"a line that keeps talking", {}, join({chatter, good}), NoAnswer, 0},
        // A damaged header's length is not waited for.
        {"damaged header announcing 2000 bytes", {}, damagedLong, HeaderCorrupted, 0},
        {"unchecked error header announcing 40 bytes", {}, errorLong, HeaderCorrupted, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        unit.clearRequests();
        if (!c.stale.empty()) {
            terminal.write(c.stale);
            sleepMs(100);  // let it reach the port before the request goes out
        }
        unit.script({c.answer});
        uint16_t status = 0;
        EXPECT_EQ(raisedBy([&] { port.readStatus(Unit, status); }), c.error);
        EXPECT_EQ(port.lastError(), c.error);
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(unit.requests().size(), 1u);
    }

    // Whatever was left over, the next exchange is in step.
    unit.script({valueReply(Unit, 29, 30, {'O', 0, 'K', 0, 0, 0})});
    wxString version;
    port.readVersion(Unit, version);
    EXPECT_EQ(version, "OK");
}

TEST_F(Exchange, AddressWritesTakeTheOldOrTheNewAddress)
{
    const UnitAddress Moved{4, 5, 6};
    const Bytes fromNew = replyFrame(Moved, FunctionCode::WriteVariable, 33, {29});
    const Bytes fromOther = replyFrame({7, 7, 7}, FunctionCode::WriteVariable, 33, {29});
    unit.script({fromNew, fromOther});
    port.writeAddress(Unit, Moved);
    EXPECT_EQ(raisedBy([&] { port.writeAddress(Unit, Moved); }), NoAnswer);

    // The one-byte form: the reply and the further header from a.b.<byte>;
    // another unit's whole frame between them is passed over.
    const UnitAddress byByte{1, 2, 9};
    Bytes sequence = replyFrame(byByte, FunctionCode::WriteVariable, 1, {29});
    for (const Bytes& b : {valueReply({7, 7, 7}, 5, 24, {1, 2}),
                           replyFrame(byByte, FunctionCode::Identify, 0, {}),
                           valueReply(byByte, 5, 24, {0x99, 0x99})}) {
        sequence.insert(sequence.end(), b.begin(), b.end());
    }
    unit.script({sequence, valueReply(byByte, 5, 24, {0x34, 0x12})});
    port.writeAddressByte(Unit, 9);
    uint16_t status = 0;
    port.readStatus(byByte, status);
    EXPECT_EQ(status, 0x1234);
}

TEST_F(Exchange, TextsAreDecodedWhole)
{
    Bytes version = {'V', 0, '2', 0, '.', 0, '1', 0, 0, 0, 'x', 0};
    Bytes longText;
    for (int i = 0; i < 1500; ++i) {
        longText.insert(longText.end(), {static_cast<uint8_t>('a' + i % 26), 0});
    }
    unit.script({valueReply(Unit, 29, 30, version), valueReply(Unit, 29, 252, longText),
                 replyFrame(Unit, FunctionCode::WriteVariable, 5, {}),
                 valueReply(Unit, 29, 254, {0x3D, 0xD8, 0x00, 0xDE, 'k'}),
                 replyFrame(Unit, FunctionCode::ReadVariable, 29, {})});

    wxString text;
    port.readVersion(Unit, text);
    EXPECT_EQ(text, "V2.1");
    port.readText252(Unit, text);
    EXPECT_EQ(text.length(), 1500u);
    port.readText254(Unit, 0x0102, text);
    EXPECT_EQ(text, wxString(wxUniChar(0x1F600)));  // pair kept, odd byte dropped
    text = "kept";
    EXPECT_EQ(raisedBy([&] { port.readText11(Unit, text); }), UnsupportedDataFormat);
    EXPECT_EQ(text, "kept");

    const std::vector<Request> requests = unit.requests();
    ASSERT_EQ(requests.size(), 5u);
    EXPECT_EQ(requests[2].wire[6], static_cast<uint8_t>(FunctionCode::WriteVariable));
    EXPECT_EQ(Bytes(requests[2].data.begin(), requests[2].data.begin() + 3),
              (Bytes{254, 0x02, 0x01}));
    EXPECT_EQ(requests[3].variable(), 254);
    EXPECT_EQ(requests[3].header.dataType(), 29);
}

TEST_F(Exchange, MultiValueReadsNeedTheirBytes)
{
    Bytes nine;
    for (int32_t v : {1, -2, 0x12345678}) {
        Bytes b(4);
        putLE32(b.data(), static_cast<uint32_t>(v));
        nine.insert(nine.end(), b.begin(), b.end());
    }
    unit.script({valueReply(Unit, 1, 9, nine),
                 valueReply(Unit, 1, 15, {0xFF, 0xFF, 0xFF, 0x7F, 0xFE, 0xFF}),
                 valueReply(Unit, 1, 9, Bytes(nine.begin(), nine.begin() + 6)),
                 valueReply(Unit, 1, 15, {1, 2, 3, 4})});

    int32_t a = 0, b = 0, c = 0;
    port.readVariable9(Unit, a, b, c);
    EXPECT_EQ(a, 1);
    EXPECT_EQ(b, -2);
    EXPECT_EQ(c, 0x12345678);
    int32_t first = 0;
    int16_t second = 0;
    port.readVariable15(Unit, first, second);
    EXPECT_EQ(first, 0x7FFFFFFF);
    EXPECT_EQ(second, -2);

    EXPECT_EQ(raisedBy([&] { port.readVariable9(Unit, a, b, c); }), UnsupportedDataFormat);
    EXPECT_EQ(port.lastError(), UnsupportedDataFormat);
    EXPECT_EQ(raisedBy([&] { port.readVariable15(Unit, first, second); }), UnsupportedDataFormat);
    EXPECT_EQ(a, 1);  // outputs untouched by the failed reads
    EXPECT_EQ(first, 0x7FFFFFFF);
}

TEST_F(Exchange, MeasureReadsItsThreeVariablesInOrder)
{
    unit.setHandler([](const Request& r) {
        switch (r.header.dataType()) {
        case 25:
            return valueReply(Unit, 25, r.variable(), floatBytes(12.5f));
        case 11:
            return valueReply(Unit, 11, r.variable(), {30, 0, 0, 0});
        default:
            return valueReply(Unit, 1, r.variable(), {7});
        }
    });
    struct Case {
        int32_t algorithm;
        int first;
    } cases[] = {{-1, -1}, {0, 34}, {2, 44}, {50, 28}};  // 34 + 250 wraps to 28
    for (const Case& c : cases) {
        SCOPED_TRACE(c.algorithm);
        unit.clearRequests();
        float value = 0;
        uint32_t time = 0;
        uint8_t accuracy = 0;
        port.readMeasure(Unit, c.algorithm, value, time, accuracy);
        EXPECT_EQ(value, 12.5f);
        EXPECT_EQ(time, 30u);
        EXPECT_EQ(accuracy, 7);
        using T = std::tuple<int, int, int>;
        if (c.algorithm == -1) {
            EXPECT_EQ(seen(), (std::vector<T>{T{6, 25, 16}, T{6, 11, 19}, T{6, 1, 20}}));
        } else {
            EXPECT_EQ(seen(), (std::vector<T>{T{6, 25, c.first}, T{6, 11, c.first + 1},
                                              T{6, 1, c.first + 2}}));
        }
    }
}

TEST_F(Exchange, LockIsHeldForWholeSequencesAndReleasedOnFailure)
{
    // The unit looks at the lock from its own thread while it answers.
    std::mutex probes;
    std::vector<bool> freeWhileAnswering;
    auto seenFree = [&] {
        std::lock_guard<std::mutex> hold(probes);
        return freeWhileAnswering;
    };
    unit.setHandler([&](const Request& r) {
        {
            std::lock_guard<std::mutex> hold(probes);
            freeWhileAnswering.push_back(lockIsFree(port));
        }
        if (r.header.function() == static_cast<uint8_t>(FunctionCode::WriteVariable)) {
            Bytes both = replyFrame(Unit, FunctionCode::WriteVariable, 1, {});
            const Bytes further = replyFrame(Unit, FunctionCode::Identify, 0, {});
            both.insert(both.end(), further.begin(), further.end());
            return both;
        }
        switch (r.variable()) {
        case 16:
            return valueReply(Unit, 25, 16, floatBytes(1.0f));
        case 19:
            return Bytes{};  // the time does not come
        case 15:
            return valueReply(Unit, 1, 15, {1, 0, 0, 0, 2, 0});
        default:
            return valueReply(Unit, 5, r.variable(), {0x34, 0x12});
        }
    });

    float value = 0;
    uint32_t time = 0;
    uint8_t accuracy = 0;
    EXPECT_EQ(raisedBy([&] { port.readMeasure(Unit, -1, value, time, accuracy); }), NoAnswer);
    EXPECT_EQ(value, 1.0f);
    EXPECT_EQ(seenFree(), (std::vector<bool>{false, false}));
    EXPECT_TRUE(lockIsFree(port));

    {
        std::lock_guard<std::mutex> hold(probes);
        freeWhileAnswering.clear();
    }
    int32_t first = 0;
    int16_t second = 0;
    port.readVariable15(Unit, first, second);
    port.writeAddressByte(Unit, 5);
    uint16_t status = 0;
    port.readStatus(Unit, status);
    EXPECT_EQ(seenFree(), (std::vector<bool>{false, false, false}));
    EXPECT_TRUE(lockIsFree(port));
}

TEST_F(Exchange, WaitForFrameListensWithoutSending)
{
    const uint64_t start = monotonicMs();
    UnitAddress source{9, 9, 9};
    EXPECT_FALSE(port.waitForFrame(source));
    const uint64_t elapsed = monotonicMs() - start;
    EXPECT_GE(elapsed, 1000u);
    EXPECT_LT(elapsed, 4000u);  // one second plus at most one receive
    EXPECT_EQ(source, (UnitAddress{9, 9, 9}));

    terminal.write(replyFrame({7, 8, 9}, FunctionCode::Identify, 0, {}));
    EXPECT_TRUE(port.waitForFrame(source));
    EXPECT_EQ(source, (UnitAddress{7, 8, 9}));
    EXPECT_TRUE(unit.requests().empty());
}

TEST_F(Exchange, AddressByteWriteTakesOneFurtherHeader)
{
    const Bytes ack = replyFrame(Unit, FunctionCode::WriteVariable, 1, {});
    const Bytes further = replyFrame({1, 2, 9}, FunctionCode::Identify, 0, {});
    Bytes both = ack;
    both.insert(both.end(), further.begin(), further.end());
    unit.script({both, valueReply(Unit, 5, 24, {0x34, 0x12}), ack});

    port.writeAddressByte(Unit, 9);
    uint16_t status = 0;
    port.readStatus(Unit, status);  // still in step
    EXPECT_EQ(status, 0x1234);

    EXPECT_EQ(raisedBy([&] { port.writeAddressByte(Unit, 9); }), NoAnswer);
    EXPECT_EQ(port.lastError(), NoAnswer);

    const std::vector<Request> requests = unit.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].header.function(), static_cast<uint8_t>(FunctionCode::WriteVariable));
    EXPECT_EQ(requests[0].header.dataType(), static_cast<uint8_t>(DataType::Byte));
    EXPECT_EQ(Bytes(requests[0].data.begin(), requests[0].data.begin() + 2), (Bytes{29, 9}));
}

TEST_F(Exchange, DatesAndAddressPassThrough)
{
    const Bytes date{0x50, 0x01, 0x01, 0, 0, 0, 0, 9};
    const Bytes ack = replyFrame(Unit, FunctionCode::WriteVariable, 0, {});
    unit.script({valueReply(Unit, 31, 12, date), valueReply(Unit, 31, 13, {1, 2, 3}), ack, ack});

    std::array<uint8_t, 8> got{};
    port.readDate12(Unit, got);
    EXPECT_EQ(Bytes(got.begin(), got.end()), date);
    EXPECT_EQ(raisedBy([&] { port.readDate13(Unit, got); }), UnsupportedDataFormat);
    port.writeDate13(Unit, got);
    port.writeAddress(Unit, UnitAddress{4, 5, 6});

    const std::vector<Request> requests = unit.requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(Bytes(requests[2].data.begin(), requests[2].data.begin() + 9),
              (Bytes{13, 0x50, 0x01, 0x01, 0, 0, 0, 0, 9}));
    EXPECT_EQ(requests[3].header.dataType(), static_cast<uint8_t>(DataType::Address));
    EXPECT_EQ(Bytes(requests[3].data.begin(), requests[3].data.begin() + 4), (Bytes{29, 4, 5, 6}));
}

TEST(UnitErrorText, HasItsOwnTable)
{
    struct Case {
        int32_t code;
        const char* text;
    } cases[] = {
        {0, ""},
        {3, "Package header structure corrupted"},
        {10, "Wrong \"Redirect\" package"},
        {0xF00, "No answer"},
        {0xF02, "Write error"},
        {0xF03, "Unknown error"},
        {0xF04, "Unknown error"},
        {8, "Unknown error"},
        {-1, "Unknown error"},
        {255, "Unknown error"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SerialPortVarnoProtocol::unitErrorText(c.code), wxString(c.text)) << c.code;
    }
}
