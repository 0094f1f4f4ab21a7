#include "model/measure.h"

#include <cstring>

namespace mirel_varno {

namespace {

uint32_t bitsOf(float f)
{
    uint32_t bits = 0;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
}

}  // namespace

Measure::Measure(float value, const wxString& units, uint32_t time, uint8_t accuracy,
                 int32_t index, uint16_t status)
    : value_(value),
      time_(time),
      accuracy_(accuracy),
      units_(units),
      index_(index),
      status_(status)
{
    scaleValue();
}

bool Measure::hasValue() const
{
    // NaN never compares equal, and -666.666 may arrive with another
    // rounding: only the exact pattern means "no value".
    return bitsOf(value_) != bitsOf(NO_VALUE);
}

void Measure::clearValue()
{
    value_ = NO_VALUE;
}

void Measure::setLabel(const wxString& text, int32_t number)
{
    label_ = text;
    labelNumber_ = number;
}

}  // namespace mirel_varno
