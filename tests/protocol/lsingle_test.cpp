#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "base/floatbits.h"
#include "protocol/lsingle.h"

using namespace mirel_varno;

namespace {

LSingle packed(uint32_t bits)
{
    LSingle l;
    l.bits = bits;
    return l;
}

}  // namespace

TEST(LSingle, PacksTheWorkedValues)
{
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        float in;
        uint32_t m;
        int32_t e;
        uint32_t low;
    } cases[] = {
        {1.0f, 1000, -1, 0xFFE8},
        {25.0f, 250, 1, 0x04FA},
        {3.14159f, 314, 0, 0x013A},
        {12345.0f, 123, 4, 0x107B},
        {0.001f, 1000, -4, 0xF3E8},
        {0.0f, 0, 0, 0x0000},
        {-5.0f, 0, 0, 0x0000},
        {std::nanf(""), 0, 0, 0x0000},
        {9.99e31f, 999, 31, 0x7FE7},
        {3.0e38f, 999, 31, 0x7FE7},
        {inf, 999, 31, 0x7FE7},
        {9.99e-31f, 999, -31, 0x87E7},
        {1.0e-40f, 999, -31, 0x87E7},  // denormal
        {102.4f, 102, 2, 0x0866},
        {1000.0f, 1000, 2, 0x0BE8},
        // Would round to a mantissa of 1024: renormalised to the next exponent.
        {1023.5f, 102, 3, 0x0C66},
        {1024.0f, 102, 3, 0x0C66},
        {10240.0f, 102, 4, 0x1066},
        {1023.4f, 1023, 2, 0x0BFF},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in);
        const LSingle l = LSingle::fromFloat(c.in);
        EXPECT_EQ(l.bits, c.low);  // bits 16-31 zero
        EXPECT_EQ(l.mantissa(), c.m);
        EXPECT_EQ(l.exponent(), c.e);
    }
}

TEST(LSingle, ReadsBackAsFloats)
{
    // Values computed in single precision may sit one step off the float
    // nearest to the decimal; that step is part of the format.
    struct Case {
        uint32_t bits;
        float out;
        uint32_t ulps = 0;
    } cases[] = {
        {0xFFE8, 1.0f},
        {0x04FA, 25.0f},
        {0x013A, 3.14f, 1},
        {0x107B, 12300.0f},
        {0xF3E8, 0.001f, 1},
        {0x0000, 0.0f},
        {0x0801, 1.0f},
        {0x03FF, 10.23f, 1},
        {0x0866, 102.0f},
        {0x7FE7, 9.99e31f},
        {0x87E7, 9.99e-31f},
        {0x7FFF, 9.99e31f},   // above the upper limit
        {0x8001, 9.99e-31f},  // below the lower limit
        {0xFC00, 0.0f},       // mantissa 0 is zero whatever the exponent
        {0x7C00, 0.0f},
        {0xABCD04FA, 25.0f},  // the reserved half is ignored
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bits);
        const int64_t got = floatBits(packed(c.bits).toFloat());
        const int64_t want = floatBits(c.out);
        EXPECT_LE(std::llabs(got - want), static_cast<int64_t>(c.ulps)) << got << " vs " << want;
    }
}

TEST(LSingle, LimitsHaveTheirBitPatterns)
{
    EXPECT_EQ(floatBits(packed(0x7FE7).toFloat()), 0x749D9D4Au);
    EXPECT_EQ(floatBits(packed(0x87E7).toFloat()), 0x0DA218D6u);
}

TEST(LSingle, EveryPackedValueStaysInItsFields)
{
    // Sweep mantissas and exponents, including the 1023.5 boundary, and
    // check that every result round-trips through its own fields.
    for (int e = -30; e <= 30; e += 3) {
        for (float m = 100.0f; m < 1030.0f; m += 0.25f) {
            const float in = m * std::pow(10.0f, static_cast<float>(e));
            const LSingle l = LSingle::fromFloat(in);
            ASSERT_EQ(l.bits >> 16, 0u);
            ASSERT_GE(l.mantissa(), 102u) << in;
            ASSERT_LE(l.mantissa(), 1023u) << in;
            // Packing what was read back gives the same value again (perhaps
            // as 1020 * 10^(e-1) instead of 102 * 10^e).
            const float back = l.toFloat();
            const float again = LSingle::fromFloat(back).toFloat();
            ASSERT_NEAR(again, back, back * 1e-6f) << in;
        }
    }
}
