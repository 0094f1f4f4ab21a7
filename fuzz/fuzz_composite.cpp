// The composite reads and the network scan over a fake line: counts and
// lists that come from the unit (parameters, algorithms, status-bit texts,
// changed values, the units that answer a scan). Nothing may crash, loop
// without end or read past a buffer, whatever the unit claims.

#include <cstdint>

#include "fuzz/fakeline.h"
#include "monitor/pointlist.h"

using namespace mirel_varno;
using varno_fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2) {
        return 0;
    }
    varno_fuzz::Input in(data + 2, size - 2);
    varno_fuzz::FakeLine line(in, (data[1] & 0x80) == 0);
    varno_fuzz::FuzzProtocol port(line);
    const UnitAddress unit{1, 2, 3};
    try {
        switch (data[0] % 8) {
        case 0: {
            PointParams params;
            port.readPointParams(unit, params);
            // What was read goes back as it is, as far as its types allow.
            port.writePointParams(unit, params);
            break;
        }
        case 1: {
            AlgorithmList algorithms;
            port.readAlgorithms(unit, algorithms);
            check(algorithms.size() <= 255);
            break;
        }
        case 2: {
            StatusBitTexts texts;
            port.readStatusBitTexts(unit, texts);
            break;
        }
        case 3: {
            ChangedParams changed;
            port.readChangedParams(unit, changed);
            break;
        }
        case 4: {
            PointParam param;
            port.readParamValue(unit, data[1] & 0x7F, param);
            port.readParamName(unit, data[1] & 0x7F, param);
            break;
        }
        case 5: {
            Algorithm algorithm;
            port.readAlgorithm(unit, data[1] & 0x7F, algorithm);
            break;
        }
        case 6: {
            PointParams params;
            port.readText17(unit, params);
            break;
        }
        default: {
            PointList points;
            port.scanNetwork(points);
            for (size_t i = 0; i < points.count(); ++i) {
                check(points.at(i) != nullptr);
            }
            break;
        }
        }
    } catch (const Exception&) {
        // A failed exchange ends the read; that is its documented way.
    }
    return 0;
}
