#ifndef VARNO_SIM_UNITSTATE_H
#define VARNO_SIM_UNITSTATE_H

#include <array>
#include <cstdint>
#include <map>
#include <vector>

#include <wx/string.h>

#include "base/unitaddress.h"
#include "protocol/frame.h"

namespace varno_sim {

// One adjustable parameter: a name (variable 112 + 2i) and a value
// (variable 113 + 2i) of type Byte, Packed or Float, held as its four wire
// bytes read little-endian (a Byte value in the low eight bits).
struct SimParam {
    wxString name;
    mirel_varno::DataType type = mirel_varno::DataType::Byte;
    uint32_t raw = 0;
};

// One measuring algorithm: variables 32 + 5i to 36 + 5i.
struct SimAlgorithm {
    wxString firstText;
    wxString secondText;
    float value = 0.0f;
    int32_t time = 0;
    uint8_t accuracy = 0;
};

// Everything a simulated unit answers with. Variable numbers in comments.
struct UnitState {
    mirel_varno::UnitAddress address{1, 2, 3};  // 29 (write)
    uint16_t status = 0;                        // 24
    float measureValue = 0.0f;                  // 16
    int32_t measureTime = 0;                    // 19
    uint8_t measureAccuracy = 0;                // 20
    wxString version = "1.0";                   // 30
    wxString text11, text17, text18, text27;    // 11, 17, 18, 27
    uint8_t byte28 = 0;                         // 28
    std::array<uint8_t, 8> date12{{0x50, 0x01, 0x01, 0, 0, 0, 0, 0}};  // 12
    std::array<uint8_t, 8> date13{{0x50, 0x01, 0x01, 0, 0, 0, 0, 0}};  // 13
    uint8_t currentAlgorithm = 0;               // 21
    uint8_t byte25 = 0;                         // 25 (write only)
    std::vector<SimAlgorithm> algorithms;       // count in 22
    std::vector<SimParam> params;               // count in 23
    std::vector<wxString> statusBitTexts;       // count in 250
    uint8_t statusBitSelector = 0;              // 251 written
    std::vector<uint8_t> changedParams;         // 8
    std::array<int32_t, 3> var9{{0, 0, 0}};     // 9
    uint32_t var10 = 0;                         // 10
    int32_t var15Long = 0;                      // 15, bytes 0-3
    int16_t var15Short = 0;                     // 15, bytes 4-5
    wxString text252;                           // 252
    uint16_t word253 = 0;                       // 253
    uint16_t selector254 = 0;                   // 254 written
    std::map<uint16_t, wxString> texts254;      // 254 read, by selector
};

// Variable numbers beyond the fixed ones: algorithms from 32 in steps of
// five up to 111, parameters from 112 in pairs up to 249.
constexpr size_t MaxAlgorithms = 16;
constexpr size_t MaxParams = 69;
constexpr size_t MaxStatusBitTexts = 255;

}  // namespace varno_sim

#endif
