#ifndef MIREL_VARNO_MODEL_MEASURESTATUS_H
#define MIREL_VARNO_MODEL_MEASURESTATUS_H

#include <cstdint>

namespace mirel_varno {

// A unit's 16-bit status word. Bit n has the mask 1 << n; the status-bit
// texts name bit n under key n + 1.
class MeasureStatus {
public:
    constexpr MeasureStatus() = default;
    constexpr explicit MeasureStatus(uint16_t word) : word_(word) {}

    // Bit 5 (0x0020).
    constexpr bool thresholdExceeded() const { return bit(5); }
    // Bit 6 (0x0040).
    constexpr bool prethresholdExceeded() const { return bit(6); }
    // Bit 7 (0x0080).
    constexpr bool thresholdReduced() const { return bit(7); }
    // Bit 9 (0x0200): the unit shows a label instead of its value.
    constexpr bool notReady() const { return bit(9); }
    // True when no bit is set.
    constexpr bool isClear() const { return word_ == 0; }
    // Bit n (mask 1 << n); false for n outside 0..15, which a 16-bit word
    // cannot hold.
    constexpr bool bit(int n) const
    {
        return n >= 0 && n < 16 && (word_ & (1u << n)) != 0;
    }
    // The raw word.
    constexpr uint16_t word() const { return word_; }

    friend constexpr bool operator==(MeasureStatus x, MeasureStatus y) { return x.word_ == y.word_; }
    friend constexpr bool operator!=(MeasureStatus x, MeasureStatus y) { return x.word_ != y.word_; }

private:
    uint16_t word_ = 0;
};

}  // namespace mirel_varno

#endif
