#include "monitor/pointevent.h"

#include <gtest/gtest.h>

#include "model/algorithm.h"
#include "base/error.h"
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

}  // namespace

TEST(PointEvent, FixedTextsDoNotReadThePayload)
{
    const struct {
        PointEventType type;
        const char* text;
    } cases[] = {
        {PluggedEvent, "Point plugged"},
        {UnpluggedEvent, "Point unplugged"},
        {MeasuresRestartedEvent, "Measures restarted"},
        {ParamsReadEvent, "Params have been read"},
        {AlgorithmsReadEvent, "Algorithms have been read"},
        {7, "Unknown event"},
        {LastMeasureEvent, "Unknown event"},
        {StatusReadEvent, "Status read"},
        {AddressChangedEvent, "Address changed"},
        {DatesChangedEvent, "Dates changed"},
        {ParamsSetEvent, "Parameters have been set"},
        {SerialPortErrorEvent, "Serial port error"},
        {NoAnswerEvent, "No answer"},
        {ReadErrorEvent, "Read error"},
        {WriteErrorEvent, "Write error"},
        {UnknownVariableEvent, "Unknown variable"},
        {ParamsChangedEvent, "Params have been changed"},
        {UnknownEvent, "Unknown event"},
        {-1, "Unknown event"},
        {1000, "Unknown event"},
    };
    // Whatever the payload holds, an empty one included.
    const boost::any payloads[] = {boost::any(), boost::any(volts(1.0f)), boost::any(42)};
    for (const auto& c : cases) {
        for (const auto& payload : payloads) {
            EXPECT_EQ(PointEvent(c.type, Unit, payload).text(), c.text) << "type " << c.type;
        }
    }
}

TEST(PointEvent, MeasureTextsComposeValueAndKind)
{
    const Measure plain = volts(0.0005f);
    const Measure alarm = volts(2.5f, 0x0020);
    EXPECT_EQ(PointEvent(InitialMeasureEvent, Unit, plain).text(), plain.valueText());
    EXPECT_EQ(PointEvent(MeasureEvent, Unit, plain).text(), plain.valueText());
    EXPECT_EQ(PointEvent(ValueReadEvent, Unit, plain).text(), plain.valueText());
    EXPECT_EQ(PointEvent(ThresholdExceededEvent, Unit, alarm).text(),
              alarm.valueText() + " Threshold exceeded");
    for (PointEventType type : {PrethresholdExceededEvent, ThresholdReducedEvent}) {
        EXPECT_EQ(PointEvent(type, Unit, alarm).text(), alarm.valueText() + " " + alarm.kindText());
    }
    EXPECT_EQ(PointEvent(AlgorithmChangedEvent, Unit, static_cast<MeasuringAlgorithm>(2)).text(),
              "Current algorithm changed (2)");
    EXPECT_EQ(PointEvent(AlgorithmChangedEvent, Unit, NoMeasuringAlgorithm).text(),
              "Current algorithm changed (-1)");
}

TEST(PointEvent, PayloadOfTheWrongTypeRefusesConstruction)
{
    for (PointEventType type : {5, 6, 26, 27, 28, 36}) {
        EXPECT_THROW(PointEvent(type, Unit, boost::any()), boost::bad_any_cast) << type;
        EXPECT_THROW(PointEvent(type, Unit, 1.5f), boost::bad_any_cast) << type;
    }
    EXPECT_THROW(PointEvent(AlgorithmChangedEvent, Unit, 2), boost::bad_any_cast);
}

TEST(PointEvent, ValueTextByType)
{
    const Measure m = volts(12.3456f);
    EXPECT_EQ(PointEvent(12, Unit, m).valueText(), "12.3");
    EXPECT_EQ(PointEvent(InitialMeasureEvent, Unit, m).valueText(), "12.3");
    EXPECT_EQ(PointEvent(ThresholdReducedEvent, Unit, m).valueText(), "12.3");
    EXPECT_EQ(PointEvent(ValueReadEvent, Unit, m).valueText(), m.valueText());
    EXPECT_EQ(PointEvent(PluggedEvent, Unit, m).valueText(), "");
    EXPECT_EQ(PointEvent(ParamsChangedEvent, Unit, ChangedParams{}).valueText(), "");
    // Types 7 to 22 build without reading the payload; the value text does.
    const PointEvent odd(12, Unit, std::string("not a measure"));
    EXPECT_THROW(odd.valueText(), boost::bad_any_cast);
}

TEST(PointEvent, TimeIsTakenToTheWholeSecond)
{
    const wxDateTime before = wxDateTime::Now();
    const PointEvent e(PluggedEvent, Unit, boost::any());
    const wxDateTime after = wxDateTime::Now();
    EXPECT_EQ(e.time().GetMillisecond(), 0);
    wxDateTime floorBefore = before;
    floorBefore.SetMillisecond(0);
    EXPECT_TRUE(e.time() >= floorBefore && e.time() <= after);
}

TEST(PointEvent, SetTimeTakesEveryComponentAndKeepsTheText)
{
    PointEvent e(PluggedEvent, Unit, boost::any());
    // A 31st while the event's own date lies in a 30-day month: taking the
    // components one by one would meet 31 April on the way.
    const wxDateTime april(15, wxDateTime::Apr, 2024, 8, 0, 0, 0);
    const wxDateTime target(31, wxDateTime::Mar, 2023, 10, 15, 30, 900);
    const wxDateTime lateDay(31, wxDateTime::Jan, 2025, 23, 59, 59, 1);
    e.setTime(april);
    e.setTime(target);
    EXPECT_EQ(e.time().Format("%Y-%m-%d %H:%M:%S"), "2023-03-31 10:15:30");
    EXPECT_EQ(e.time().GetMillisecond(), 900);
    e.setTime(lateDay);
    EXPECT_EQ(e.time().Format("%Y-%m-%d %H:%M:%S"), "2025-01-31 23:59:59");
    EXPECT_EQ(e.text(), "Point plugged");
}

TEST(PointEvent, OnlyTheThreeExchangeFailuresAreLinkErrors)
{
    for (PointEventType type = -1; type <= 39; ++type) {
        const PointEvent e(type, Unit, type == 30 ? boost::any(NoMeasuringAlgorithm)
                                                  : boost::any(volts(1.0f)));
        EXPECT_EQ(e.isLinkError(), type >= 32 && type <= 34) << type;
    }
}

TEST(PointEvent, CopiesAreIndependentValues)
{
    PointEvent e(ValueReadEvent, Unit, volts(3.0f));
    EXPECT_FALSE(e.mark());
    e.setMark(true);
    PointEvent copy = e;
    EXPECT_TRUE(copy.mark());
    EXPECT_EQ(copy.text(), e.text());
    EXPECT_EQ(copy.time(), e.time());
    EXPECT_EQ(copy.address(), Unit);

    // The payload is a copy: replacing the original's leaves the copy's.
    e = PointEvent(ValueReadEvent, Unit, volts(7.0f));
    EXPECT_EQ(boost::any_cast<Measure>(copy.payload()).value(), 3.0f);
    EXPECT_FALSE(e.mark());

    const PointEvent placeholder = PointEvent::placeholder();
    EXPECT_EQ(placeholder.type(), UnknownEvent);
    EXPECT_EQ(placeholder.address(), (UnitAddress{1, 1, 1}));
    EXPECT_EQ(boost::any_cast<uint32_t>(placeholder.payload()), 0u);
}
