#include "monitor/point.h"

#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "model/measure.h"
#include "model/pointparam.h"
#include "support/wxprint.h"

using namespace mirel_varno;

namespace {

const UnitAddress Unit{1, 2, 3};

Measure volts(float value, uint16_t status = 0)
{
    return Measure(value, "V", 0, 0, 0, status);
}

// Feeds one event of the type to the point; the payload is the one that
// the type's handler reads.
bool feed(Point& point, PointEventType type, boost::any payload = {})
{
    PointEvent event(type, point.address(), std::move(payload));
    return point.handleEvent(event);
}

PointParams fiveParams()
{
    PointParams params;
    for (uint8_t i = 0; i < 5; ++i) {
        params.addParam(PointParam(static_cast<uint8_t>(113 + 2 * i), 1, "p", uint8_t{0}));
    }
    params.setText27("Station 4");
    return params;
}

}  // namespace

TEST(Point, NewPoint)
{
    const Point point(UnitAddress{255, 0, 10});
    EXPECT_EQ(point.state(), 1);
    EXPECT_EQ(point.statusText(), "Point plugged");
    EXPECT_EQ(point.nextRequest(), 1);
    EXPECT_FALSE(point.isFailed());
    EXPECT_FALSE(point.isClaimed());
    EXPECT_FALSE(point.removalRequested());
    EXPECT_EQ(point.lastLinkError(), NoError);
    EXPECT_FALSE(point.measure().hasValue());
    EXPECT_EQ(point.addressText(), "255.000.010");
    EXPECT_EQ(point.lastEvent().type(), UnknownEvent);
    EXPECT_EQ(point.previousEvent().address(), (UnitAddress{1, 1, 1}));
}

TEST(Point, OrdinaryCourseOfStatesAndRequests)
{
    Point point(Unit);
    const struct {
        PointEventType type;
        boost::any payload;
        int32_t state;
        int32_t next;
    } steps[] = {
        {PluggedEvent, {}, 3, 4},
        {ParamsReadEvent, fiveParams(), 5, 5},
        {AlgorithmsReadEvent, AlgorithmList(2), 7, 8},
        {InitialMeasureEvent, volts(1.0f), 7, 8},
        {MeasureEvent, volts(2.0f), 8, 9},
        {LastMeasureEvent, volts(3.0f), 8, 9},
        {ThresholdExceededEvent, volts(4.0f, 0x20), 25, 8},
        {MeasureEvent, volts(5.0f), 8, 9},
        {PrethresholdExceededEvent, volts(6.0f, 0x40), 26, 8},
        {ThresholdReducedEvent, volts(7.0f, 0x80), 27, 8},
        {StatusReadEvent, {}, 7, 8},
        {ValueReadEvent, volts(8.0f), 43, 29},
        {MeasuresRestartedEvent, {}, 42, 8},
        {AlgorithmChangedEvent, MeasuringAlgorithm(1), 7, 8},
        {ParamsSetEvent, {}, 3, 4},
        {UnpluggedEvent, {}, 2, 2},
        {AddressChangedEvent, {}, 1, 1},
        {PluggedEvent, {}, 3, 4},
        {DatesChangedEvent, {}, 1, 1},
    };
    for (const auto& step : steps) {
        PointEvent event(step.type, Unit, step.payload);
        EXPECT_TRUE(point.handleEvent(event)) << step.type;
        EXPECT_TRUE(event.mark()) << step.type;
        EXPECT_EQ(point.state(), step.state) << step.type;
        EXPECT_EQ(point.nextRequest(), step.next) << step.type;
        EXPECT_FALSE(point.isFailed()) << step.type;
    }
    EXPECT_EQ(point.text27(), "Station 4");
    EXPECT_EQ(point.pointParams().params().size(), 5u);
    EXPECT_EQ(point.algorithmCount(), 2);
    EXPECT_EQ(point.measure().value(), 8.0f);
}

TEST(Point, FailureSeries)
{
    using Step = std::pair<PointEventType, Error>;
    const struct {
        const char* name;
        std::vector<Step> events;
        std::vector<bool> results;
        std::vector<int32_t> states;
        bool failed;
        bool measureKept;
    } cases[] = {
        {"four no answers, then a fifth",
         {{NoAnswerEvent, NoAnswer}, {NoAnswerEvent, NoAnswer}, {NoAnswerEvent, NoAnswer},
          {NoAnswerEvent, NotAllDataReceived}, {NoAnswerEvent, NoAnswer}},
         {false, false, false, true, false},
         {28, 29, 30, 31, 31}, true, false},
        {"read errors", {{ReadErrorEvent, DataCorrupted}, {ReadErrorEvent, DataCorrupted},
          {ReadErrorEvent, DataCorrupted}, {ReadErrorEvent, HeaderCorrupted}},
         {false, false, false, true},
         {34, 35, 36, 37}, true, false},
        {"write errors", {{WriteErrorEvent, WriteError}, {WriteErrorEvent, WriteError},
          {WriteErrorEvent, WriteError}, {WriteErrorEvent, SerialPortError}},
         {false, false, false, true},
         {38, 39, 40, 41}, true, false},
        {"a read error restarts the count",
         {{NoAnswerEvent, NoAnswer}, {NoAnswerEvent, NoAnswer}, {ReadErrorEvent, DataCorrupted}},
         {false, false, false},
         {28, 29, 34}, false, true},
        {"from a failed series into another",
         {{NoAnswerEvent, NoAnswer}, {NoAnswerEvent, NoAnswer}, {NoAnswerEvent, NoAnswer},
          {NoAnswerEvent, NoAnswer}, {WriteErrorEvent, WriteError}},
         {false, false, false, true, false},
         {28, 29, 30, 31, 38}, false, false},
    };
    for (const auto& c : cases) {
        Point point(Unit);
        feed(point, InitialMeasureEvent, volts(1.0f));
        ASSERT_EQ(point.state(), 7);
        Error reported = NoError;
        for (size_t i = 0; i < c.events.size(); ++i) {
            const bool result = feed(point, c.events[i].first, c.events[i].second);
            EXPECT_EQ(result, c.results[i]) << c.name << ", event " << i;
            EXPECT_EQ(point.state(), c.states[i]) << c.name << ", event " << i;
            if (result) {
                reported = c.events[i].second;
            }
            EXPECT_EQ(point.lastLinkError(), reported) << c.name << ", event " << i;
            EXPECT_EQ(point.nextRequest(), 4);
        }
        EXPECT_EQ(point.isFailed(), c.failed) << c.name;
        // The measure goes when a series reaches its failed state.
        EXPECT_EQ(point.measure().hasValue(), c.measureKept) << c.name;
    }
}

TEST(Point, RepeatedPortAndVariableErrorsReportOnce)
{
    for (const auto& c : {std::make_pair(SerialPortErrorEvent, 32),
                          std::make_pair(UnknownVariableEvent, 33)}) {
        Point point(Unit);
        EXPECT_TRUE(feed(point, c.first));
        EXPECT_FALSE(feed(point, c.first));
        EXPECT_EQ(point.state(), c.second);
        EXPECT_TRUE(point.isFailed());
        EXPECT_EQ(point.nextRequest(), 4);
        EXPECT_EQ(point.lastEvent().type(), c.first);
    }
}

TEST(Point, EventForAnotherAddressLeavesThePointUntouched)
{
    Point point(Unit);
    feed(point, NoAnswerEvent, NoAnswer);
    for (int i = 0; i < 3; ++i) {
        feed(point, NoAnswerEvent, NotAllDataReceived);
    }
    ASSERT_EQ(point.state(), 31);
    const PointEvent before = point.lastEvent();

    PointEvent other(InitialMeasureEvent, UnitAddress{1, 2, 4}, volts(1.0f));
    EXPECT_FALSE(point.handleEvent(other));
    EXPECT_FALSE(other.mark());
    EXPECT_EQ(point.state(), 31);
    EXPECT_FALSE(point.measure().hasValue());
    EXPECT_EQ(point.lastLinkError(), NotAllDataReceived);
    EXPECT_EQ(point.lastEvent().type(), before.type());
    EXPECT_EQ(point.previousEvent().type(), NoAnswerEvent);
}

TEST(Point, EventWithoutHandlerIsRememberedAndReadsParameters)
{
    Point point(Unit);
    feed(point, InitialMeasureEvent, volts(1.0f));
    for (PointEventType type : {UnknownEvent, 39, -5}) {
        PointEvent event(type, Unit, {});
        EXPECT_FALSE(point.handleEvent(event));
        EXPECT_TRUE(event.mark());
        EXPECT_EQ(point.state(), 3);
        EXPECT_EQ(point.lastEvent().type(), type);
        EXPECT_TRUE(point.lastEvent().mark());
    }
    EXPECT_EQ(point.previousEvent().type(), 39);
    PointEvent unknown(UnknownEvent, Unit, {});
    EXPECT_FALSE(point.callDefaultHandler(unknown));
}

TEST(Point, LastLinkErrorFollowsReportedEventsOnly)
{
    Point point(Unit);
    feed(point, SerialPortErrorEvent);
    for (int i = 0; i < 4; ++i) {
        feed(point, WriteErrorEvent, WriteError);
    }
    EXPECT_EQ(point.lastLinkError(), WriteError);
    feed(point, SerialPortErrorEvent);  // reported: a change to 32
    EXPECT_EQ(point.lastLinkError(), NoError);
    for (int i = 0; i < 4; ++i) {
        feed(point, ReadErrorEvent, DataCorrupted);
    }
    EXPECT_EQ(point.lastLinkError(), DataCorrupted);
    EXPECT_FALSE(feed(point, ReadErrorEvent, HeaderCorrupted));  // not reported: kept
    EXPECT_EQ(point.lastLinkError(), DataCorrupted);
    feed(point, StatusReadEvent);
    EXPECT_EQ(point.lastLinkError(), NoError);
}

TEST(Point, WrongPayloadChangesNothing)
{
    Point point(Unit);
    feed(point, InitialMeasureEvent, volts(1.0f));
    for (PointEventType type : {ParamsReadEvent, AlgorithmsReadEvent, 12, ParamsChangedEvent}) {
        PointEvent event(type, Unit, std::string("wrong"));
        EXPECT_THROW(point.handleEvent(event), boost::bad_any_cast) << type;
        EXPECT_EQ(point.state(), 7);
        EXPECT_EQ(point.measure().value(), 1.0f);
        EXPECT_EQ(point.lastEvent().type(), InitialMeasureEvent);
        EXPECT_FALSE(event.mark());
    }
}

TEST(Point, ParamsChangedSkipsIndexesOutOfRange)
{
    Point point(Unit);
    feed(point, ParamsReadEvent, fiveParams());
    feed(point, MeasureEvent, volts(1.0f));
    const ChangedParams changed{{0, "17"}, {4, "300"}, {200, "9"}};
    EXPECT_TRUE(feed(point, ParamsChangedEvent, changed));
    const std::vector<PointParam> params = point.pointParams().params();
    ASSERT_EQ(params.size(), 5u);
    EXPECT_EQ(params[0].valueAs<uint8_t>(), 17);
    EXPECT_EQ(params[4].valueAs<uint8_t>(), 300 & 0xFF);
    EXPECT_EQ(params[1].valueAs<uint8_t>(), 0);
    EXPECT_EQ(point.state(), 7);
    EXPECT_FALSE(point.measure().hasValue());
    EXPECT_EQ(point.statusText(), "Measure");
}

TEST(Point, StatusTextForEveryState)
{
    Point point(Unit);
    const Measure alarm = volts(2.5f, 0x20);
    feed(point, ThresholdExceededEvent, alarm);
    const wxString value = alarm.valueText();
    const struct {
        int32_t first, last;
        wxString text;
        bool failed;
    } rows[] = {
        {1, 1, "Point plugged", false},
        {2, 2, "Point unplugged", false},
        {3, 3, "Reading parameters...", false},
        {4, 4, "", false},
        {5, 5, "Reading algorithms...", false},
        {6, 6, "", false},
        {7, 24, value, false},
        {25, 25, "Threshold exceeded" + value, false},
        {26, 26, "Prethreshold exceeded" + value, false},
        {27, 27, "Threshold reduced" + value, false},
        {28, 30, "No answer", false},
        {31, 31, "No answer", true},
        {32, 32, "Serial port error", true},
        {33, 33, "Unknown variable", true},
        {34, 36, "Read error", false},
        {37, 37, "Read error", true},
        {38, 40, "Write error", false},
        {41, 41, "Write error", true},
        {42, 42, "Measures restarted", false},
        {43, 43, value, false},
        {0, 0, "", false},
        {44, 44, "", false},
        {-7, -7, "", false},
    };
    for (const auto& row : rows) {
        for (int32_t s = row.first; s <= row.last; ++s) {
            point.setState(s);
            EXPECT_EQ(point.statusText(), row.text) << "state " << s;
            EXPECT_EQ(point.isFailed(), row.failed) << "state " << s;
        }
    }
    point.clearMeasure();
    point.setState(8);
    EXPECT_EQ(point.statusText(), "Measure");
    point.setState(43);
    EXPECT_EQ(point.statusText(), point.measure().valueText());
}

TEST(Point, NextRequestDefaultsWhereTheTableHasNoEntry)
{
    Point point(Unit);
    for (int32_t state : {32, 0, 44, -1}) {
        point.setState(state);
        EXPECT_EQ(point.nextRequest(), 4) << "state " << state;
    }
    point.setState(24);
    EXPECT_EQ(point.nextRequest(), 25);
    point.setNextRequest(32, 77);
    point.setState(32);
    EXPECT_EQ(point.nextRequest(), 77);
}

namespace {

// A point that handles plugged events itself and counts what reaches it.
class CountingPoint : public Point {
public:
    using Point::Point;
    int plugged = 0;
    int overridden = 0;

    bool onPlugged(PointEvent& event) override
    {
        ++plugged;
        return Point::onPlugged(event);
    }
    bool eventMark() override { return false; }

    bool onAnything(PointEvent& event)
    {
        ++overridden;
        return callDefaultHandler(event);
    }
};

}  // namespace

TEST(Point, HandlersDispatchVirtuallyAndOverridesComeFirst)
{
    CountingPoint point(Unit);
    PointEvent plugged(PluggedEvent, Unit, {});
    EXPECT_TRUE(point.handleEvent(plugged));
    EXPECT_EQ(point.plugged, 1);
    EXPECT_EQ(point.state(), 3);
    EXPECT_FALSE(plugged.mark());  // the derived eventMark()

    point.setOverride(PluggedEvent, static_cast<Point::Handler>(&CountingPoint::onAnything));
    point.setOverride(UnknownEvent, static_cast<Point::Handler>(&CountingPoint::onAnything));
    point.setState(7);
    EXPECT_TRUE(feed(point, PluggedEvent));
    EXPECT_EQ(point.overridden, 1);
    EXPECT_EQ(point.plugged, 2);
    // An override for a type without a built-in handler: the default says
    // false and the state is left alone.
    point.setState(7);
    EXPECT_FALSE(feed(point, UnknownEvent));
    EXPECT_EQ(point.overridden, 2);
    EXPECT_EQ(point.state(), 7);
    // A null handler takes the override away again.
    point.setOverride(PluggedEvent, nullptr);
    EXPECT_TRUE(feed(point, PluggedEvent));
    EXPECT_EQ(point.overridden, 2);
    EXPECT_EQ(point.plugged, 3);
}

TEST(Point, ClaimingFromTwoThreads)
{
    Point point(Unit);
    EXPECT_FALSE(point.requestRemoval());
    EXPECT_FALSE(point.removalRequested());
    EXPECT_TRUE(point.tryClaim());
    EXPECT_FALSE(point.tryClaim());
    point.release();
    EXPECT_TRUE(point.tryClaim());
    EXPECT_TRUE(point.requestRemoval());
    EXPECT_TRUE(point.removalRequested());
    point.release();

    for (int round = 0; round < 200; ++round) {
        Point contested(Unit);
        std::atomic<int> wins{0};
        std::atomic<bool> go{false};
        auto claimer = [&] {
            while (!go.load()) {
                std::this_thread::yield();
            }
            if (contested.tryClaim()) {
                ++wins;
            }
        };
        std::thread a(claimer);
        std::thread b(claimer);
        go = true;
        a.join();
        b.join();
        ASSERT_EQ(wins.load(), 1) << "round " << round;
    }
}

TEST(Point, AssignmentCopiesTheListedFieldsOnly)
{
    Point source(Unit);
    source.setName("Boiler room");
    feed(source, ParamsReadEvent, fiveParams());
    feed(source, AlgorithmsReadEvent, AlgorithmList(3));
    for (int i = 0; i < 4; ++i) {
        feed(source, ReadErrorEvent, DataCorrupted);
    }
    source.setNextRequest(37, 55);
    source.setOverride(PluggedEvent, &Point::onUnplugged);
    source.tryClaim();
    source.requestRemoval();

    Point target(UnitAddress{9, 9, 9});
    feed(target, InitialMeasureEvent, volts(4.0f));
    target = source;
    EXPECT_EQ(target.address(), Unit);
    EXPECT_EQ(target.name(), "Boiler room");
    EXPECT_EQ(target.state(), 37);
    EXPECT_EQ(target.nextRequest(), 55);
    EXPECT_EQ(target.pointParams().params().size(), 5u);
    EXPECT_EQ(target.algorithmCount(), 3);
    EXPECT_TRUE(target.isClaimed());
    EXPECT_TRUE(target.removalRequested());
    EXPECT_EQ(target.lastLinkError(), DataCorrupted);
    // Its own measure and events stay.
    EXPECT_EQ(target.measure().value(), 4.0f);
    EXPECT_EQ(target.lastEvent().type(), InitialMeasureEvent);
    EXPECT_EQ(target.lastEvent().address(), (UnitAddress{9, 9, 9}));
    // The override table came along.
    target.setState(7);
    EXPECT_TRUE(feed(target, PluggedEvent));
    EXPECT_EQ(target.state(), 2);

    const Point copy(source);
    EXPECT_EQ(copy.state(), 37);
    EXPECT_EQ(copy.name(), "Boiler room");
    EXPECT_FALSE(copy.measure().hasValue());
    EXPECT_EQ(copy.lastEvent().type(), UnknownEvent);
    EXPECT_EQ(copy.previousEvent().type(), UnknownEvent);
    // Its lock is its own: claimed as copied, but releasing the copy frees
    // only the copy.
    Point released(copy);
    released.release();
    EXPECT_TRUE(released.tryClaim());
    EXPECT_FALSE(source.tryClaim());
}
