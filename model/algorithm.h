#ifndef MIREL_VARNO_MODEL_ALGORITHM_H
#define MIREL_VARNO_MODEL_ALGORITHM_H

#include <cstdint>
#include <vector>

#include <wx/string.h>

namespace mirel_varno {

// A measuring-algorithm number: the `number` of an Algorithm. Any signed
// 32-bit value may be held; printed with "%d".
enum MeasuringAlgorithm : int32_t {
    // No algorithm known yet.
    NoMeasuringAlgorithm = -1
};

// One entry of a unit's list of measuring algorithms. The last three fields
// are the value, time and accuracy that the unit reports for that algorithm.
struct Algorithm {
    int32_t number = 0;     // position in the unit's list, from 0
    wxString firstText;
    wxString secondText;
    float value = 0.0f;
    uint32_t time = 0;      // seconds
    uint8_t accuracy = 0;   // percent
};

// A unit's algorithms in list order.
using AlgorithmList = std::vector<Algorithm>;

}  // namespace mirel_varno

#endif
