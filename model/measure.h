#ifndef MIREL_VARNO_MODEL_MEASURE_H
#define MIREL_VARNO_MODEL_MEASURE_H

#include <cstdint>

#include <wx/string.h>

#include "model/measurestatus.h"

namespace mirel_varno {

// The value of a measure that holds none: -666.666 as a float, bit
// pattern 0xC426AAA0. Compared bit for bit, never with ==.
constexpr float NO_VALUE = -666.666f;

// One measurement: the value in the base unit, its scaled form with a
// decimal prefix, time, accuracy, unit text, the unit's status word and a
// label shown instead of the value while the unit is not ready.
// Copies carry every field as it is; the scaled form is computed only by
// the constructor that takes values.
class Measure {
public:
    // No value (value and scaledValue are NO_VALUE), everything else zero
    // or empty.
    Measure() = default;
    // Stores the values, clears the label and computes scaledValue and
    // prefix from value.
    Measure(float value, const wxString& units, uint32_t time, uint8_t accuracy, int32_t index,
            uint16_t status);

    // False only when value is bit for bit NO_VALUE (a NaN is a value).
    bool hasValue() const;
    // Sets value to NO_VALUE; the scaled form, status and the rest stay.
    void clearValue();
    // Sets the label and its number, shown while status bit 9 is set.
    void setLabel(const wxString& text, int32_t number);

    float value() const { return value_; }
    float scaledValue() const { return scaledValue_; }
    uint32_t time() const { return time_; }
    uint8_t accuracy() const { return accuracy_; }
    int32_t index() const { return index_; }
    // The raw status word.
    uint16_t status() const { return status_.word(); }
    MeasureStatus measureStatus() const { return status_; }
    wxString units() const { return units_; }
    // "mk", "m" (as translated when scaled) or empty.
    wxString prefix() const { return prefix_; }
    wxString label() const { return label_; }
    int32_t labelNumber() const { return labelNumber_; }

    // The value as people read it: a blank, about three significant digits
    // of scaledValue, the prefix and the units (" 0.500 mV"); exponential
    // form for large, tiny and negative values; "label number" while status
    // bit 9 is set. Does not look at hasValue().
    wxString valueText() const;
    // What kind of measure this is, from the status word: "Threshold
    // exceeded", "Threshold reduced", "Prethreshold exceeded", the label
    // form, or "Measure" (translated).
    wxString kindText() const;

private:
    // Sets scaledValue and prefix from value: about three significant
    // digits, halves rounded down, micro and milli prefixes for small
    // positive values.
    void scaleValue();

    float value_ = NO_VALUE;
    float scaledValue_ = NO_VALUE;
    uint32_t time_ = 0;
    uint8_t accuracy_ = 0;
    wxString units_;
    wxString prefix_;
    int32_t index_ = 0;
    MeasureStatus status_;
    wxString label_;
    int32_t labelNumber_ = 0;
};

}  // namespace mirel_varno

#endif
