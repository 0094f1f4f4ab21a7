#include "model/measure.h"

#include <limits>

#include <gtest/gtest.h>

#include "support/wxprint.h"

using namespace mirel_varno;

TEST(ValueFormat, ScalingAndValueTexts)
{
    const struct {
        float value;
        float scaled;
        const char* prefix;
        const char* text;
    } rows[] = {
        {0.0005f, 0.5f, "m", " 0.500 mV"},
        {0.00015f, 0.15f, "m", " 0.150 mV"},
        {12.345f, 12.3f, "", " 12.3 V"},
        {2.5e-7f, 0.25f, "mk", " 0.250 mkV"},
        {123456.0f, 123000.0f, "", " 123000 V"},
        {1234.0f, 1230.0f, "", " 1230 V"},
        // Exact halves go down.
        {1.125f, 1.12f, "", " 1.12 V"},
        {100.5f, 100.0f, "", " 100 V"},
        {112.5f, 112.0f, "", " 112 V"},
        // 1005 * 0.1 rounds to exactly 100.5 in double: a half, so down.
        {1005.0f, 1000.0f, "", " 1000 V"},
        // Rounding up into the next decade keeps the row's prefix.
        {0.99951f, 1.0f, "", " 1.00 V"},
        {999.6f, 1000.0f, "", " 1000 V"},
        // The float nearest 0.1 lies above 0.1, the one nearest 1e-4 below.
        {0.1f, 0.1f, "", " 0.100 V"},
        {0.09f, 90.0f, "m", " 90.0 mV"},
        {0.0001f, 100.0f, "mk", " 100 mkV"},
        // The smallest scaled value; the float nearest 1e-9 lies below 1e-9.
        {1.2e-9f, 0.001f, "mk", " 0.001 mkV"},
        {1e-9f, 1e-9f, "", " 1.00e-09 V"},
        // Unscaled: zero, negatives, tiny, huge and the missing value.
        {0.0f, 0.0f, "", " 0 V"},
        {-0.0f, -0.0f, "", " 0 V"},
        {-5.0f, -5.0f, "", " -5.00e+00 V"},
        {5e-10f, 5e-10f, "", " 5.00e-10 V"},
        {2e8f, 2e8f, "", " 2.00e+08 V"},
        {NO_VALUE, NO_VALUE, "", " -6.67e+02 V"},
        // Scaled to 1e8, which is written in the exponential form.
        {1e8f, 1e8f, "", " 1.00e+08 V"},
    };
    for (const auto& row : rows) {
        const Measure m(row.value, "V", 0, 0, 0, 0);
        SCOPED_TRACE(row.text);
        EXPECT_EQ(m.scaledValue(), row.scaled);
        EXPECT_EQ(m.prefix(), row.prefix);
        EXPECT_EQ(m.value(), row.value);
        EXPECT_EQ(m.valueText(), row.text);
    }
}

// Everything is built with -ffp-contract=off, so a product is rounded before
// it is added to. A build that lets the compiler fuse the two gives 2^-24
// here wherever the target has a fused instruction (arm64, x86 with FMA:
// see scripts/cross-test.sh).
TEST(ValueFormat, ProductsAreRoundedBeforeTheyAreAdded)
{
    volatile float a = 1.0f + 0x1p-12f;  // a * a = 1 + 2^-11 + 2^-24: a tie,
    volatile float c = -(1.0f + 0x1p-11f);  // rounded to 1 + 2^-11
    const float x = a;
    const float y = a;
    const float z = c;
    EXPECT_EQ(x * y + z, 0.0f);
}

TEST(ValueFormat, NaNIsReportedAsWrong)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(Measure(nan, "V", 0, 0, 0, 0).valueText(), "Something wrong with scaled! nan");
    EXPECT_EQ(Measure(-nan, "V", 0, 0, 0, 0).valueText(), "Something wrong with scaled! -nan");
}

TEST(ValueFormat, LabelStandsForTheValueWhileNotReady)
{
    Measure m(12.345f, "V", 0, 0, 0, 0x0200);
    m.setLabel("Wait", 5);
    EXPECT_EQ(m.valueText(), "Wait 5");
    EXPECT_EQ(m.kindText(), "Wait 5");

    // A threshold bit names the kind, the label still replaces the value.
    Measure alarm(12.345f, "V", 0, 0, 0, 0x0220);
    alarm.setLabel("Wait", -3);
    EXPECT_EQ(alarm.valueText(), "Wait -3");
    EXPECT_EQ(alarm.kindText(), "Threshold exceeded");
}

TEST(ValueFormat, KindTextsInTheirOrder)
{
    const struct {
        uint16_t status;
        const char* text;
    } rows[] = {
        {0x00A0, "Threshold exceeded"},
        {0x02E0, "Threshold exceeded"},
        {0x00C0, "Threshold reduced"},
        {0x0040, "Prethreshold exceeded"},
        {0x0240, "Prethreshold exceeded"},
        {0x0200, "Hold 1"},
        {0x0001, "Measure"},
        {0x0000, "Measure"},
        {0x0400, "Measure"},
    };
    for (const auto& row : rows) {
        Measure m(1.0f, "V", 0, 0, 0, row.status);
        m.setLabel("Hold", 1);
        EXPECT_EQ(m.kindText(), row.text) << std::hex << row.status;
    }
}
