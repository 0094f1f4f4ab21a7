#ifndef MIREL_VARNO_PROTOCOL_LSINGLE_H
#define MIREL_VARNO_PROTOCOL_LSINGLE_H

#include <cstdint>

namespace mirel_varno {

// Thread safety: LSingle is a plain value and its conversions keep no
// state; a shared LSingle is safe only for reading.

// The packed decimal number of data type Packed: a ten-bit mantissa m
// (bits 0-9) and a signed six-bit exponent e (bits 10-15) with the value
// m * 10^(e - 2); bits 16-31 are reserved and zero in every value the host
// builds. On the wire: the four bytes of `bits`, little-endian.
struct LSingle {
    uint32_t bits = 0;

    uint32_t mantissa() const { return bits & 0x3FFu; }
    int32_t exponent() const
    {
        int32_t e = static_cast<int32_t>((bits >> 10) & 0x3Fu);
        return e >= 32 ? e - 64 : e;
    }

    // The value as a float, clamped to 9.99e-31 .. 9.99e31 (0 stays 0).
    float toFloat() const;
    // Packs a float: zero, negatives and NaN give 0; the rest is clamped,
    // normalised to three digits and rounded half up.
    static LSingle fromFloat(float value);

    friend bool operator==(LSingle x, LSingle y) { return x.bits == y.bits; }
    friend bool operator!=(LSingle x, LSingle y) { return x.bits != y.bits; }
};

}  // namespace mirel_varno

#endif
