#include "model/measure.h"

#include <cmath>
#include <cstring>
#include <limits>

#include <gtest/gtest.h>

#include "base/floatbits.h"
#include "support/wxprint.h"

#include "model/measurestatus.h"

using namespace mirel_varno;

namespace {

Measure volts(float value, uint16_t status = 0)
{
    return Measure(value, "V", 0, 0, 0, status);
}

}  // namespace

TEST(Measure, NoValueIsOneExactFloat)
{
    EXPECT_EQ(floatBits(NO_VALUE), 0xC426AAA0u);

    const Measure none;
    EXPECT_FALSE(none.hasValue());
    EXPECT_EQ(floatBits(none.scaledValue()), 0xC426AAA0u);
    EXPECT_EQ(none.prefix(), "");
    EXPECT_EQ(none.status(), 0);

    EXPECT_FALSE(volts(-666.666f).hasValue());
    EXPECT_TRUE(volts(0.0f).hasValue());
    EXPECT_TRUE(volts(std::nextafter(NO_VALUE, 0.0f)).hasValue());
    EXPECT_TRUE(volts(std::numeric_limits<float>::quiet_NaN()).hasValue());
}

TEST(Measure, ConstructionStoresEveryField)
{
    const Measure m(2.5f, "A", 30, 7, -4, 0x0123);
    EXPECT_EQ(m.value(), 2.5f);
    EXPECT_EQ(m.units(), "A");
    EXPECT_EQ(m.time(), 30u);
    EXPECT_EQ(m.accuracy(), 7);
    EXPECT_EQ(m.index(), -4);
    EXPECT_EQ(m.status(), 0x0123);
    EXPECT_EQ(m.measureStatus().word(), 0x0123);
    EXPECT_EQ(m.label(), "");
    EXPECT_EQ(m.labelNumber(), 0);
}

TEST(Measure, ClearValueKeepsTheScaledFormAndStatus)
{
    Measure m(0.0005f, "V", 1, 2, 3, 0x0020);
    m.clearValue();
    EXPECT_FALSE(m.hasValue());
    EXPECT_EQ(m.scaledValue(), 0.5f);
    EXPECT_EQ(m.prefix(), "m");
    EXPECT_EQ(m.status(), 0x0020);
    EXPECT_EQ(m.time(), 1u);
}

TEST(Measure, CopiesCarryTheScaledFormWithoutRecomputing)
{
    // After clearValue the stored scaled form no longer follows from the
    // value, so a copy that rescaled would lose it.
    Measure original(0.0005f, "V", 10, 20, 30, 0x0200);
    original.setLabel("Wait", 5);
    original.clearValue();

    Measure assigned;
    assigned = original;
    for (const Measure& copy : {Measure(original), assigned}) {
        EXPECT_FALSE(copy.hasValue());
        EXPECT_EQ(copy.scaledValue(), 0.5f);
        EXPECT_EQ(copy.prefix(), "m");
        EXPECT_EQ(copy.units(), "V");
        EXPECT_EQ(copy.time(), 10u);
        EXPECT_EQ(copy.accuracy(), 20);
        EXPECT_EQ(copy.index(), 30);
        EXPECT_EQ(copy.status(), 0x0200);
        EXPECT_EQ(copy.label(), "Wait");
        EXPECT_EQ(copy.labelNumber(), 5);
    }
}

TEST(MeasureStatus, NamedTestsAndBits)
{
    const struct {
        uint16_t word;
        bool exceeded, preExceeded, reduced, notReady, clear;
    } rows[] = {
        {0x02A0, true, false, true, true, false},
        {0x0040, false, true, false, false, false},
        {0x0000, false, false, false, false, true},
        {0xFFFF, true, true, true, true, false},
        {0x8000, false, false, false, false, false},
    };
    for (const auto& row : rows) {
        const MeasureStatus s(row.word);
        SCOPED_TRACE(row.word);
        EXPECT_EQ(s.thresholdExceeded(), row.exceeded);
        EXPECT_EQ(s.prethresholdExceeded(), row.preExceeded);
        EXPECT_EQ(s.thresholdReduced(), row.reduced);
        EXPECT_EQ(s.notReady(), row.notReady);
        EXPECT_EQ(s.isClear(), row.clear);
        EXPECT_EQ(s.word(), row.word);
    }

    for (int n = 0; n < 16; ++n) {
        const MeasureStatus only(static_cast<uint16_t>(1u << n));
        const MeasureStatus allBut(static_cast<uint16_t>(~(1u << n)));
        EXPECT_TRUE(only.bit(n)) << n;
        EXPECT_FALSE(allBut.bit(n)) << n;
    }
    EXPECT_TRUE(MeasureStatus(0x0400).bit(10));
    EXPECT_FALSE(MeasureStatus(0x0200).bit(10));
    // Beyond the word: no bit, and no undefined shift.
    EXPECT_FALSE(MeasureStatus(0xFFFF).bit(16));
    EXPECT_FALSE(MeasureStatus(0xFFFF).bit(40));
    EXPECT_FALSE(MeasureStatus(0xFFFF).bit(-1));
}
