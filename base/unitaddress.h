#ifndef MIREL_VARNO_BASE_UNITADDRESS_H
#define MIREL_VARNO_BASE_UNITADDRESS_H

#include <cstdint>

namespace mirel_varno {

// The address of one unit: three bytes in the order of the dotted text
// a.b.c. On the wire the three bytes travel in the same order.
struct UnitAddress {
    uint8_t first = 0;
    uint8_t second = 0;
    uint8_t third = 0;

    friend bool operator==(const UnitAddress& x, const UnitAddress& y)
    {
        return x.first == y.first && x.second == y.second && x.third == y.third;
    }
    friend bool operator!=(const UnitAddress& x, const UnitAddress& y) { return !(x == y); }
};

}  // namespace mirel_varno

#endif
