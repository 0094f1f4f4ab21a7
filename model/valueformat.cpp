// Text forms of a Measure: the scaling run at construction, the value text
// and the kind text.
#include "model/measure.h"

#include <cmath>

#include <wx/translation.h>

namespace mirel_varno {

namespace {

enum class Prefix { None, Milli, Micro };

// lo < v <= hi selects the row; the value is rounded as ceil(v * K - 0.5)
// / D. Above 1000 the divisor equals the multiplier, so the result is
// divided by 0.1 rather than multiplied by 10.
struct ScaleRow {
    double lo;
    double hi;
    double k;
    double d;
    Prefix prefix;
};

const ScaleRow scaleRows[] = {
    {1e-9, 1e-6, 1e9, 1000, Prefix::Micro},
    {1e-6, 1e-5, 1e8, 100, Prefix::Micro},
    {1e-5, 1e-4, 1e7, 10, Prefix::Micro},
    {1e-4, 1e-3, 1e6, 1000, Prefix::Milli},
    {1e-3, 1e-2, 1e5, 100, Prefix::Milli},
    {1e-2, 0.1, 1e4, 10, Prefix::Milli},
    {0.1, 1, 1000, 1000, Prefix::None},
    {1, 10, 100, 100, Prefix::None},
    {10, 100, 10, 10, Prefix::None},
    {100, 1000, 1, 1, Prefix::None},
    {1000, 1e4, 0.1, 0.1, Prefix::None},
    {1e4, 1e5, 0.01, 0.01, Prefix::None},
    {1e5, 1e6, 0.001, 0.001, Prefix::None},
    {1e6, 1e7, 1e-4, 1e-4, Prefix::None},
    {1e7, 1e8, 1e-5, 1e-5, Prefix::None},
};

wxString prefixText(Prefix prefix)
{
    switch (prefix) {
    case Prefix::Micro: return wxGetTranslation("mk");
    case Prefix::Milli: return wxGetTranslation("m");
    case Prefix::None: break;
    }
    return wxString();
}

}  // namespace

void Measure::scaleValue()
{
    const double v = value_;
    for (const ScaleRow& row : scaleRows) {
        if (row.lo < v && v <= row.hi) {
            // The product is rounded to double before the half is taken
            // off, so halves go down exactly as in double; the build keeps
            // the compiler from fusing the two (-ffp-contract=off).
            const double product = v * row.k;
            const double x = product - 0.5;
            scaledValue_ = static_cast<float>(std::ceil(x) / row.d);
            prefix_ = prefixText(row.prefix);
            return;
        }
    }
    // Zero, negatives, NO_VALUE, tiny and huge values, infinities and NaN.
    scaledValue_ = value_;
    prefix_.clear();
}

wxString Measure::valueText() const
{
    if (status_.notReady()) {
        return wxString::Format("%s %d", label_, labelNumber_);
    }
    const double s = scaledValue_;
    if (s >= 1e7 || s <= 1e-4) {
        if (s == 0) {
            return wxString::Format(" 0 %s%s", prefix_, units_);
        }
        return wxString::Format(" %2.2e %s%s", s, prefix_, units_);
    }
    if (s > 1e-4 && s < 1) {
        return wxString::Format(" %.3lf %s%s", s, prefix_, units_);
    }
    if (s >= 1 && s < 10) {
        return wxString::Format(" %.2lf %s%s", s, prefix_, units_);
    }
    if (s >= 10 && s < 100) {
        return wxString::Format(" %.1lf %s%s", s, prefix_, units_);
    }
    if (s >= 100) {
        return wxString::Format(" %.0lf %s%s", s, prefix_, units_);
    }
    return wxString::Format("Something wrong with scaled! %g", s);
}

wxString Measure::kindText() const
{
    if (status_.thresholdExceeded()) {
        return wxGetTranslation("Threshold exceeded");
    }
    if (status_.thresholdReduced()) {
        return wxGetTranslation("Threshold reduced");
    }
    if (status_.prethresholdExceeded()) {
        return wxGetTranslation("Prethreshold exceeded");
    }
    if (status_.notReady()) {
        return wxString::Format("%s %d", label_, labelNumber_);
    }
    return wxGetTranslation("Measure");
}

}  // namespace mirel_varno
