// The Telnet session of rfc2217:// lines on byte strings: commands and
// option answers after RFC 854/855, the COM port control subnegotiations
// after RFC 2217, and the doubling of 0xFF in data.

#include "serial/serialplatformtelnet.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

using namespace mirel_varno;
using Bytes = std::vector<uint8_t>;
using State = TelnetSession::OptionState;

namespace {

// The five requests a session opens with: WILL/DO BINARY, WILL/DO SGA,
// WILL COM-PORT-OPTION.
const Bytes Opening = {255, 251, 0, 255, 253, 0, 255, 251, 3, 255, 253, 3, 255, 251, 44};
// A server that agrees to all of them.
const Bytes Agreeing = {255, 253, 0, 255, 251, 0, 255, 253, 3, 255, 251, 3, 255, 253, 44};

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& p : parts) {
        all.insert(all.end(), p.begin(), p.end());
    }
    return all;
}

std::string hex(const Bytes& bytes)
{
    std::string text;
    char b[4];
    for (const uint8_t v : bytes) {
        std::snprintf(b, sizeof b, "%02X ", v);
        text += b;
    }
    return text;
}

}  // namespace

TEST(TelnetSession, OpensWithItsRequestsOnce)
{
    TelnetSession session;
    Bytes out;
    session.start(out);
    EXPECT_EQ(hex(out), hex(Opening));
    EXPECT_EQ(session.comPort(), State::WantYes);
    out.clear();
    session.start(out);  // already asked: nothing goes again
    EXPECT_TRUE(out.empty());
}

// Each case feeds the received bytes in the given pieces to a session that
// opened (or not) with its requests, and compares the data handed on and
// the answers sent back.
TEST(TelnetSession, ReceivedBytesGiveDataAndAnswers)
{
    struct Case {
        const char* what;
        bool opened;
        std::vector<Bytes> pieces;
        Bytes data;
        Bytes answers;
    };
    const Case cases[] = {
        {"plain bytes pass", true, {{0x01, 0x02, 0x7F, 0x80}}, {0x01, 0x02, 0x7F, 0x80}, {}},
        {"IAC IAC is one data byte 0xFF", true, {{0x10, 255, 255, 0x20}}, {0x10, 0xFF, 0x20}, {}},
        {"IAC IAC split across two reads", true, {{0x10, 255}, {255, 0x20}}, {0x10, 0xFF, 0x20}, {}},
        {"a checksum full of 0xFF, one byte a read", true,
         {{0xFC}, {255}, {255}, {255}, {255}, {255}, {255}, {0x00}},
         {0xFC, 0xFF, 0xFF, 0xFF, 0x00}, {}},
        {"agreement to our requests is not answered", true, {Agreeing}, {}, {}},
        {"NOP, go-ahead and data mark carry nothing", true, {{255, 241, 0x41, 255, 249, 255, 242, 0x42}},
         {0x41, 0x42}, {}},
        {"unknown DO is refused with WONT", true, {{255, 253, 24}}, {}, {255, 252, 24}},
        {"server echo is refused with DONT", true, {{255, 251, 1}}, {}, {255, 254, 1}},
        {"unknown WILL split after IAC is refused", true, {{0x41, 255}, {251}, {5, 0x42}}, {0x41, 0x42},
         {255, 254, 5}},
        {"DONT/WONT for options that are off: no answer", true, {{255, 254, 24, 255, 252, 1}}, {}, {}},
        {"a server's own request for binary is agreed", false, {{255, 253, 0, 255, 251, 0}}, {},
         {255, 251, 0, 255, 253, 0}},
        {"binary switched off again is acknowledged", true,
         {Agreeing, {255, 252, 0}}, {}, {255, 254, 0}},
        {"outside binary mode CR NUL is CR", false, {{0x0D, 0x00, 0x41, 0x0D}, {0x00, 0x0D, 0x0A}},
         {0x0D, 0x41, 0x0D, 0x0D, 0x0A}, {}},
        {"in binary mode CR NUL is data", true, {Agreeing, {0x0D, 0x00}}, {0x0D, 0x00}, {}},
        {"subnegotiations never reach the data", true,
         {{0x41, 255, 250, 44, 106, 0x10, 255, 240, 0x42}}, {0x41, 0x42}, {}},
        {"a subnegotiation split everywhere", true,
         {{255}, {250}, {44, 101}, {0, 0, 37}, {128, 255}, {240}, {0x43}}, {0x43}, {}},
    };
    for (const Case& c : cases) {
        TelnetSession session;
        Bytes out;
        if (c.opened) {
            session.start(out);
            out.clear();
        }
        Bytes data;
        for (const Bytes& piece : c.pieces) {
            Bytes room(piece.size() + 1, 0xEE);
            const size_t n = session.receive(piece.data(), piece.size(), room.data(), out);
            ASSERT_LE(n, piece.size()) << c.what;
            EXPECT_EQ(room[piece.size()], 0xEE) << c.what << ": wrote past the piece's size";
            data.insert(data.end(), room.begin(), room.begin() + static_cast<long>(n));
        }
        EXPECT_EQ(hex(data), hex(c.data)) << c.what;
        EXPECT_EQ(hex(out), hex(c.answers)) << c.what;
    }
}

TEST(TelnetSession, ComPortAgreementAndRefusal)
{
    TelnetSession agreed;
    TelnetSession refused;
    Bytes out;
    agreed.start(out);
    refused.start(out);
    out.clear();
    uint8_t data[8];
    const Bytes doCom = {255, 253, 44};
    const Bytes dontCom = {255, 254, 44};
    agreed.receive(doCom.data(), doCom.size(), data, out);
    refused.receive(dontCom.data(), dontCom.size(), data, out);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(agreed.comPort(), State::Yes);
    EXPECT_EQ(refused.comPort(), State::No);

    // Without the option nothing is sent for the line.
    LineSettings line;
    refused.comPortSettings(line, true, out);
    refused.purgeReceived(out);
    EXPECT_TRUE(out.empty());
}

TEST(TelnetSession, LineSettingsBecomeComPortCommandsAndAreConfirmed)
{
    TelnetSession session;
    Bytes out;
    session.start(out);
    uint8_t data[64];
    session.receive(Agreeing.data(), Agreeing.size(), data, out);
    out.clear();

    LineSettings line;
    line.baudRate = 9600;
    line.byteSize = 8;
    line.parity = LineParity::None;
    line.stopBits = LineStopBits::One;
    line.dtr = DtrControl::Enabled;
    session.comPortSettings(line, false, out);
    // SET-BAUDRATE 9600 in network order, SET-DATASIZE 8, SET-PARITY NONE,
    // SET-STOPSIZE 1, SET-CONTROL no flow control, SET-CONTROL DTR on.
    const Bytes all = {255, 250, 44, 1, 0, 0, 37, 128, 255, 240,  //
                       255, 250, 44, 2, 8, 255, 240,              //
                       255, 250, 44, 3, 1, 255, 240,              //
                       255, 250, 44, 4, 1, 255, 240,              //
                       255, 250, 44, 5, 1, 255, 240,              //
                       255, 250, 44, 5, 8, 255, 240};
    EXPECT_EQ(hex(out), hex(all));
    EXPECT_FALSE(session.comPortSettled());

    // Only what changed goes again; a rate holding 0xFF has it doubled.
    out.clear();
    line.parity = LineParity::Even;
    line.stopBits = LineStopBits::Two;
    line.baudRate = 0x0001C2FF;
    line.ctsOutputFlow = true;
    session.comPortSettings(line, false, out);
    const Bytes changed = {255, 250, 44, 1, 0, 1, 194, 255, 255, 255, 240,  //
                           255, 250, 44, 3, 3, 255, 240,                     //
                           255, 250, 44, 4, 2, 255, 240,                     //
                           255, 250, 44, 5, 3, 255, 240};
    EXPECT_EQ(hex(out), hex(changed));
    out.clear();
    session.purgeReceived(out);
    EXPECT_EQ(hex(out), hex(Bytes{255, 250, 44, 12, 1, 255, 240}));

    // The server answers each command with its code plus 100 and the value
    // in use; settled once all are answered.
    const Bytes answers = concat({
        {255, 250, 44, 101, 0, 0, 37, 128, 255, 240},
        {255, 250, 44, 102, 8, 255, 240},
        {255, 250, 44, 103, 1, 255, 240},
        {255, 250, 44, 104, 1, 255, 240},
        {255, 250, 44, 105, 1, 255, 240},
        {255, 250, 44, 105, 8, 255, 240},
        {255, 250, 44, 101, 0, 1, 194, 255, 255, 255, 240},
        {255, 250, 44, 103, 3, 255, 240},
        {255, 250, 44, 104, 2, 255, 240},
        {255, 250, 44, 105, 3, 255, 240},
    });
    out.clear();
    Bytes room(answers.size());
    EXPECT_EQ(session.receive(answers.data(), answers.size(), room.data(), out), 0u);
    EXPECT_FALSE(session.comPortSettled());  // the purge is not answered yet
    const Bytes purged = {255, 250, 44, 112, 1, 255, 240};
    session.receive(purged.data(), purged.size(), room.data(), out);
    EXPECT_TRUE(session.comPortSettled());
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(session.farPort().baudRate, 0x0001C2FFu);
    EXPECT_EQ(session.farPort().dataSize, 8);
    EXPECT_EQ(session.farPort().parity, telnet::ParityEven);
    EXPECT_EQ(session.farPort().stopSize, telnet::StopTwo);
    EXPECT_EQ(session.farPort().flowOut, telnet::FlowHardwareOut);
    EXPECT_EQ(session.farPort().dtr, telnet::DtrOn);
}

TEST(TelnetSession, DataOnTheWayOut)
{
    struct Case {
        const char* what;
        bool binary;
        Bytes data;
        Bytes wire;
    };
    const Case cases[] = {
        {"0xFF doubled", true, {0x18, 0xFC, 0xFF, 0xFF, 0x00}, {0x18, 0xFC, 255, 255, 255, 255, 0x00}},
        {"CR alone in binary mode", true, {0x0D, 0x41}, {0x0D, 0x41}},
        {"CR followed by NUL outside binary mode", false, {0x0D, 0x0A, 0xFF}, {0x0D, 0x00, 0x0A, 255, 255}},
        {"nothing", true, {}, {}},
    };
    for (const Case& c : cases) {
        TelnetSession session;
        Bytes out;
        if (c.binary) {
            session.start(out);
            uint8_t data[32];
            session.receive(Agreeing.data(), Agreeing.size(), data, out);
        }
        out.clear();
        session.encode(c.data.data(), c.data.size(), out);
        EXPECT_EQ(hex(out), hex(c.wire)) << c.what;
    }
}
