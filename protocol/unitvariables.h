#ifndef MIREL_VARNO_PROTOCOL_UNITVARIABLES_H
#define MIREL_VARNO_PROTOCOL_UNITVARIABLES_H

#include <cstdint>

namespace mirel_varno {

// Thread safety: constants only.

// The numbers of the unit variables that the host reads and writes.
// Numbers computed from an index are taken modulo 256.
namespace var {
constexpr uint8_t ChangedParams = 8;
constexpr uint8_t Variable9 = 9;
constexpr uint8_t DWord10 = 10;
constexpr uint8_t Text11 = 11;
constexpr uint8_t Date12 = 12;
constexpr uint8_t Date13 = 13;
constexpr uint8_t Variable15 = 15;
constexpr uint8_t MeasureValue = 16;
constexpr uint8_t Text17 = 17;
constexpr uint8_t Text18 = 18;
constexpr uint8_t MeasureTime = 19;
constexpr uint8_t MeasureAccuracy = 20;
constexpr uint8_t MeasuringAlgorithm = 21;
constexpr uint8_t AlgorithmCount = 22;
constexpr uint8_t ParamCount = 23;
constexpr uint8_t Status = 24;
constexpr uint8_t Byte25 = 25;
constexpr uint8_t Text27 = 27;
constexpr uint8_t Byte28 = 28;
constexpr uint8_t Address = 29;
constexpr uint8_t Version = 30;
constexpr uint32_t AlgorithmFirstText0 = 32;  // then 33..36; 5 per algorithm
constexpr uint8_t AlgorithmValue0 = 34;       // then time and accuracy
constexpr uint32_t ParamName0 = 112;          // value at +1; 2 per parameter
constexpr uint32_t ParamValue0 = 113;
constexpr uint8_t StatusTextCount = 250;
constexpr uint8_t StatusText = 251;
constexpr uint8_t Text252 = 252;
constexpr uint8_t Word253 = 253;
constexpr uint8_t Text254 = 254;
}  // namespace var

}  // namespace mirel_varno

#endif
