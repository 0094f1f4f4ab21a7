#include "protocol/lsingle.h"

#include <cstdlib>

// Every step below is rounded to single precision on purpose: units and host
// must agree on the last digit, so no step may be carried out in a wider
// format or fused with the next (this file is built with -ffp-contract=off).

namespace mirel_varno {

namespace {

constexpr float UpperLimit = 9.99e31f;    // bit pattern 0x749D9D4A
constexpr float LowerLimit = 9.99e-31f;   // bit pattern 0x0DA218D6
constexpr float NormalLow = 102.4f;       // bit pattern 0x42CCCCCD
constexpr float NormalHigh = 1024.0f;
constexpr uint32_t MantissaLimit = 1024;  // ten bits

// 10^power by binary powering, each product rounded to float.
float powerOfTen(int32_t power)
{
    uint32_t bits = static_cast<uint32_t>(std::abs(power));
    float result = 1.0f;
    float base = 10.0f;
    while (bits != 0) {
        if (bits & 1u) {
            result = result * base;
        }
        bits >>= 1;
        if (bits != 0) {
            base = base * base;
        }
    }
    if (power < 0) {
        result = 1.0f / result;
    }
    return result;
}

}  // namespace

float LSingle::toFloat() const
{
    const float p = powerOfTen(exponent() - 2);
    float v = p * static_cast<float>(mantissa());
    if (v == 0.0f) {
        return 0.0f;
    }
    if (v >= UpperLimit) {
        v = UpperLimit;
    }
    if (v <= LowerLimit) {
        v = LowerLimit;
    }
    return v;
}

LSingle LSingle::fromFloat(float value)
{
    if (!(value > 0.0f)) {
        return LSingle{};
    }
    float v = value;
    if (!(v < UpperLimit)) {
        v = UpperLimit;
    }
    if (v <= LowerLimit) {
        v = LowerLimit;
    }
    int32_t e = 2;
    while (v > NormalHigh) {
        v = v / 10.0f;
        ++e;
    }
    while (v < NormalLow) {
        v = v * 10.0f;
        --e;
    }
    const float rounded = v + 0.5f;
    uint32_t m = static_cast<uint32_t>(rounded);
    if (m >= MantissaLimit) {
        // 1023.5 and up would need an eleventh mantissa bit: the value is
        // 1024 * 10^(e-2) = 102.4 * 10^(e-1), which rounds to 102 there.
        m = 102;
        ++e;
    }
    LSingle packed;
    packed.bits = (m & 0x3FFu) | (static_cast<uint32_t>(e) & 0x3Fu) << 10;
    return packed;
}

}  // namespace mirel_varno
