#include "monitor/pointlist.h"

#include <cstdint>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/clock.h"
#include "support/wxprint.h"

using namespace mirel_varno;

namespace {

// Addresses x.0.0, so a list reads as the sequence of its first bytes.
std::vector<int> order(const PointList& list)
{
    std::vector<int> firsts;
    for (size_t i = 0; i < list.count(); ++i) {
        firsts.push_back(list.at(i)->address().first);
    }
    return firsts;
}

void fill(PointList& list, std::initializer_list<int> firsts)
{
    for (int first : firsts) {
        list.add(new Point(UnitAddress{static_cast<uint8_t>(first), 0, 0}));
    }
}

// Counts destructions, so that ownership can be checked.
class TrackedPoint : public Point {
public:
    TrackedPoint(const UnitAddress& address, int& destroyed)
        : Point(address), destroyed_(destroyed) {}
    ~TrackedPoint() override { ++destroyed_; }

    bool onSomething(PointEvent&) { return true; }

private:
    int& destroyed_;
};

}  // namespace

TEST(PointList, IndexFindAndEmptyRemoval)
{
    PointList list;
    EXPECT_TRUE(list.removeAll());
    EXPECT_EQ(list.at(0), nullptr);
    fill(list, {1, 2, 3});
    list.add(new Point(UnitAddress{2, 0, 0}));
    list.add(nullptr);
    EXPECT_EQ(list.count(), 4u);
    EXPECT_EQ(list.at(list.count()), nullptr);
    // The first of two points with one address wins.
    EXPECT_EQ(list.find(UnitAddress{2, 0, 0}), list.at(1));
    EXPECT_EQ(list.find(UnitAddress{2, 0, 1}), nullptr);
    EXPECT_TRUE(list.removeAll());
    EXPECT_EQ(list.count(), 0u);
}

TEST(PointList, MovingPoints)
{
    const struct {
        bool up;
        size_t index;
        std::vector<int> expected;
    } cases[] = {
        {true, 0, {1, 2, 3, 4}},  {true, 4, {1, 2, 3, 4}},  {true, 99, {1, 2, 3, 4}},
        {true, 1, {2, 1, 3, 4}},  {true, 3, {1, 2, 4, 3}},  {false, 3, {1, 2, 3, 4}},
        {false, 4, {1, 2, 3, 4}}, {false, 0, {2, 1, 3, 4}}, {false, 2, {1, 2, 4, 3}},
        // An index of -1 as a size_t: nothing moves, nothing is touched.
        {true, SIZE_MAX, {1, 2, 3, 4}}, {false, SIZE_MAX, {1, 2, 3, 4}},
    };
    for (const auto& c : cases) {
        PointList list;
        fill(list, {1, 2, 3, 4});
        if (c.up) {
            list.moveUp(c.index);
        } else {
            list.moveDown(c.index);
        }
        EXPECT_EQ(order(list), c.expected) << (c.up ? "up " : "down ") << c.index;
    }
}

TEST(PointList, AssignmentMakesFreshPointsAndDestroysTheOldOnes)
{
    int destroyed = 0;
    PointList source;
    fill(source, {1, 2, 3});
    for (size_t i = 0; i < source.count(); ++i) {
        Point* p = source.at(i);
        p->setName(wxString::Format("p%d", static_cast<int>(i)));
        PointEvent event(NoAnswerEvent, p->address(), NoAnswer);
        for (int k = 0; k < 4; ++k) {
            p->handleEvent(event);
        }
    }
    source.at(1)->tryClaim();
    source.at(1)->requestRemoval();

    PointList target;
    target.add(new TrackedPoint(UnitAddress{9, 0, 0}, destroyed));
    target = source;
    EXPECT_EQ(destroyed, 1);
    ASSERT_EQ(order(target), (std::vector<int>{1, 2, 3}));
    for (size_t i = 0; i < target.count(); ++i) {
        const Point* copy = target.at(i);
        EXPECT_NE(copy, source.at(i));
        EXPECT_EQ(copy->state(), 1);
        EXPECT_FALSE(copy->isClaimed());
        EXPECT_FALSE(copy->removalRequested());
        EXPECT_EQ(copy->lastLinkError(), NoError);
        EXPECT_EQ(copy->name(), wxString::Format("p%d", static_cast<int>(i)));
    }
    // The source is left as it was.
    EXPECT_EQ(source.at(0)->state(), 31);
    EXPECT_TRUE(source.at(1)->isClaimed());
    source.at(1)->release();

    const PointList copied(source);
    EXPECT_EQ(order(copied), (std::vector<int>{1, 2, 3}));
    EXPECT_NE(copied.at(0), source.at(0));
    EXPECT_EQ(copied.at(0)->state(), 1);
}

TEST(PointList, SelfAssignmentKeepsEveryPoint)
{
    PointList list;
    fill(list, {1, 2});
    Point* first = list.at(0);
    first->setState(8);
    PointList& same = list;
    list = same;
    ASSERT_EQ(order(list), (std::vector<int>{1, 2}));
    EXPECT_EQ(list.at(0), first);
    EXPECT_EQ(list.at(0)->state(), 8);
}

TEST(PointList, CopiesOfDerivedPointsDropTheirOverrides)
{
    int destroyed = 0;
    PointList source;
    auto* tracked = new TrackedPoint(UnitAddress{5, 0, 0}, destroyed);
    tracked->setOverride(PluggedEvent, static_cast<Point::Handler>(&TrackedPoint::onSomething));
    source.add(tracked);
    PointList copy(source);
    // A plain Point calling a TrackedPoint member would be undefined; the
    // copy handles the event with the built-in handler instead.
    PointEvent plugged(PluggedEvent, UnitAddress{5, 0, 0}, {});
    EXPECT_TRUE(copy.at(0)->handleEvent(plugged));
    EXPECT_EQ(copy.at(0)->state(), 3);
    EXPECT_EQ(destroyed, 0);
    source.removeAll();
    EXPECT_EQ(destroyed, 1);
}

TEST(PointList, RemoveAllWaitsForAClaimedPoint)
{
    int destroyed = 0;
    PointList list;
    list.add(new TrackedPoint(UnitAddress{1, 0, 0}, destroyed));
    list.add(new TrackedPoint(UnitAddress{2, 0, 0}, destroyed));
    Point* busy = list.at(1);
    ASSERT_TRUE(busy->tryClaim());

    const uint64_t start = monotonicMs();
    std::thread user([busy] {
        sleepMs(400);
        busy->release();
    });
    EXPECT_TRUE(list.removeAll());
    const uint64_t elapsed = monotonicMs() - start;
    user.join();

    EXPECT_EQ(list.count(), 0u);
    EXPECT_EQ(destroyed, 2);
    // Not before the release, and in steps of 150 ms after it.
    EXPECT_GE(elapsed, 400u);
    EXPECT_LT(elapsed, 3000u);
}
