// The network scan against the unit simulator on a pseudo-terminal.

#include <gtest/gtest.h>

#include "monitor/pointlist.h"
#include "protocol/serialportvarnoprotocol.h"
#include "base/clock.h"
#include "support/simline.h"

using namespace mirel_varno;
using varno_test::SimLine;

namespace {

// 9216 ms of listening plus at most one receive; generous above for a
// loaded machine.
constexpr uint64_t ScanMinMs = 9100;
constexpr uint64_t ScanMaxMs = 13000;

}  // namespace

TEST(NetworkScan, FindsEachAnsweringUnitInReplyOrder)
{
    // 0.0.150 answers a broadcast later than 0.0.10, though listed first;
    // 0.0.77 never answers.
    SimLine line("[late]\naddress = 0.0.150\n[early]\naddress = 0.0.10\n"
                 "[mute]\naddress = 0.0.77\nfault = silent\n",
                 false);
    ASSERT_TRUE(line.started());
    SerialPortVarnoProtocol protocol(line.device().c_str());
    ASSERT_TRUE(protocol.isOpen());

    PointList points;
    points.add(new Point(UnitAddress{9, 9, 9}));
    const uint64_t start = monotonicMs();
    protocol.scanNetwork(points);
    const uint64_t elapsed = monotonicMs() - start;

    ASSERT_EQ(points.count(), 3u);
    EXPECT_EQ(points.at(0)->address(), (UnitAddress{9, 9, 9}));
    EXPECT_EQ(points.at(1)->address(), (UnitAddress{0, 0, 10}));
    EXPECT_EQ(points.at(2)->address(), (UnitAddress{0, 0, 150}));
    EXPECT_EQ(points.at(1)->state(), 1);
    EXPECT_GE(elapsed, ScanMinMs);
    EXPECT_LE(elapsed, ScanMaxMs);
}

TEST(NetworkScan, SilentLineLeavesTheListUnchanged)
{
    SimLine line("[mute]\naddress = 1.2.3\nfault = silent\n", false);
    ASSERT_TRUE(line.started());
    SerialPortVarnoProtocol protocol(line.device().c_str());
    ASSERT_TRUE(protocol.isOpen());

    PointList points;
    const uint64_t start = monotonicMs();
    protocol.scanNetwork(points);
    const uint64_t elapsed = monotonicMs() - start;

    EXPECT_EQ(points.count(), 0u);
    EXPECT_GE(elapsed, ScanMinMs);
    EXPECT_LE(elapsed, ScanMaxMs);
}
