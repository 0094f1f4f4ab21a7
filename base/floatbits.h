#ifndef MIREL_VARNO_BASE_FLOATBITS_H
#define MIREL_VARNO_BASE_FLOATBITS_H

#include <cstdint>
#include <cstring>

namespace mirel_varno {

// The IEEE single-precision bit pattern of a float, and the float of a bit
// pattern: how a Float value travels and how NO_VALUE is recognised.
inline uint32_t floatBits(float value)
{
    uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

inline float floatFromBits(uint32_t bits)
{
    float value = 0.0f;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

}  // namespace mirel_varno

#endif
