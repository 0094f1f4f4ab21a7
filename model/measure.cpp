#include "model/measure.h"

#include "base/floatbits.h"

namespace mirel_varno {

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
    return floatBits(value_) != floatBits(NO_VALUE);
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
