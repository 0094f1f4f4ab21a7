// How often a status exchange wakes on a network line while a reply
// arrives at 9600 baud behind a device server that passes each byte on as
// a segment of its own, the wake-ups counted in the C library calls.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "base/error.h"
#include "protocol/serialportvarnoprotocol.h"
#include "support/lineserver.h"
#include "support/syscallcount.h"
#include "unitresponder.h"

using namespace mirel_varno;
using varno_test::LineServer;
using varno_test::SyscallCounter;
using varno_test::SyscallCounts;

namespace {

const UnitAddress Unit{1, 2, 3};
constexpr size_t RequestBytes = 14 + 1 + 4;  // a read of one variable

std::string show(const std::vector<uint64_t>& v)
{
    std::string text;
    for (uint64_t n : v) {
        text += " " + std::to_string(n);
    }
    return text;
}

}  // namespace

TEST(NetworkWakeups, AStatusExchangeWithALateUnitTakesAFewWakeups)
{
    // The reply carries 0xFF (doubled on a Telnet line) in its value.
    const std::vector<uint8_t> reply = varno_test::valueReply(Unit, 5, 24, {0xA4, 0xFF});
    const struct {
        LineServer::Behaviour behaviour;
        bool holdForAcks;
        uint64_t mostWaits;
        uint64_t mostReads;
    } servers[] = {
        {LineServer::Behaviour::PacedUnit, false, 6, 6},
        {LineServer::Behaviour::TelnetPacedUnit, false, 6, 6},
        // Segments held for acknowledgements that a sleeping reader would
        // delay: a look that finds the reply short takes what came, which
        // lets the rest go, and wakes at its arrival. Each held piece
        // costs a look and a read, and a busy machine splits the reply
        // into more pieces (7 to 8 reads when idle, up to 10 seen beside
        // a build; before the reply watch 16 waits and 31 reads).
        {LineServer::Behaviour::PacedUnit, true, 8, 11},
        {LineServer::Behaviour::TelnetPacedUnit, true, 8, 11},
    };
    for (const auto& s : servers) {
        LineServer server(s.behaviour);
        ASSERT_TRUE(server.ok());
        LineServer::Answer answer;
        answer.bytes = reply;
        answer.requestBytes = RequestBytes;
        answer.lateUs = 30000;
        answer.holdForAcks = s.holdForAcks;
        server.answerWith(answer);
        const std::string name =
            std::string(s.behaviour == LineServer::Behaviour::PacedUnit ? "tcp" : "rfc2217") +
            "://127.0.0.1:" + std::to_string(server.port());
        SCOPED_TRACE(name + (s.holdForAcks ? " (segments held for acknowledgements)" : ""));
        SerialPortVarnoProtocol port(name.c_str());
        ASSERT_TRUE(port.isOpen()) << port.openFailure();

        // Several exchanges, judged by the middle one: a busy machine may
        // delay a byte now and then, and a delay is a pause on the line.
        constexpr int Exchanges = 9;
        std::vector<uint64_t> waits;
        std::vector<uint64_t> reads;
        for (int i = 0; i < Exchanges; ++i) {
            uint16_t status = 0;
            SyscallCounts counts;
            {
                SyscallCounter counter;
                EXPECT_NO_THROW(port.readStatus(Unit, status));
                counts = counter.counts();
            }
            EXPECT_EQ(status, 0xFFA4);
            EXPECT_EQ(port.lastError(), NoError);
            waits.push_back(counts.waits);
            reads.push_back(counts.reads);
        }
        std::sort(waits.begin(), waits.end());
        std::sort(reads.begin(), reads.end());
        EXPECT_LE(waits[Exchanges / 2], s.mostWaits) << "blocking waits:" << show(waits);
        EXPECT_LE(reads[Exchanges / 2], s.mostReads) << "reads:" << show(reads);
    }
}
