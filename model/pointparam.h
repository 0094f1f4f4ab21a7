#ifndef MIREL_VARNO_MODEL_POINTPARAM_H
#define MIREL_VARNO_MODEL_POINTPARAM_H

// The point parameters: everything a unit tells about itself apart from its
// measurements. Including this header brings PointParam, StatusBitTexts,
// ChangedParams and PointParams.

#include <array>
#include <cstdint>
#include <map>
#include <vector>

#include <wx/string.h>

#include "model/algorithm.h"
#include "model/pointparamentry.h"
#include "model/statusbittexts.h"
#include "base/unitaddress.h"

namespace mirel_varno {

// New value texts of changed parameters, keyed by the parameter's index in
// PointParams::params() (not its variable number).
using ChangedParams = std::map<uint8_t, wxString>;

// A date as the unit keeps it: eight bytes carried unchanged, never
// interpreted.
using DateBytes = std::array<uint8_t, 8>;

// What a date holds until the unit has told its own.
constexpr DateBytes DefaultDate{0x50, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00};

// What stands for a unit's version text that could not be read
// (translated at the call).
wxString unknownVersionText();

// The parameter record of one unit. Construction and reset() give every
// field its reset value: algorithm -1, texts empty, byte28 0xFF, no
// parameters, address 255.255.255, both dates DefaultDate, no status-bit
// texts. Copies carry every field, parameter values and the status-bit
// table with its count included.
class PointParams {
public:
    PointParams() = default;

    // Every field back to its reset value.
    void reset();

    MeasuringAlgorithm measuringAlgorithm() const { return measuringAlgorithm_; }
    void setMeasuringAlgorithm(MeasuringAlgorithm algorithm) { measuringAlgorithm_ = algorithm; }
    // The unit reports its algorithm as one byte: zero-extended.
    void setMeasuringAlgorithmFromByte(uint8_t algorithm)
    {
        measuringAlgorithm_ = static_cast<MeasuringAlgorithm>(algorithm);
    }

    wxString text27() const { return text27_; }
    void setText27(const wxString& text) { text27_ = text; }
    wxString text17() const { return text17_; }
    void setText17(const wxString& text) { text17_ = text; }
    wxString text18() const { return text18_; }
    void setText18(const wxString& text) { text18_ = text; }
    wxString version() const { return version_; }
    void setVersion(const wxString& text) { version_ = text; }
    uint8_t byte28() const { return byte28_; }
    void setByte28(uint8_t value) { byte28_ = value; }

    // The adjustable parameters in the unit's order.
    const std::vector<PointParam>& params() const { return params_; }
    std::vector<PointParam>& params() { return params_; }
    void addParam(const PointParam& param) { params_.push_back(param); }

    UnitAddress address() const { return address_; }
    void setAddress(UnitAddress address) { address_ = address; }
    DateBytes date12() const { return date12_; }
    void setDate12(const DateBytes& date) { date12_ = date; }
    DateBytes date13() const { return date13_; }
    void setDate13(const DateBytes& date) { date13_ = date; }
    wxString text11() const { return text11_; }
    void setText11(const wxString& text) { text11_ = text; }

    const StatusBitTexts& statusTexts() const { return statusTexts_; }
    void setStatusTexts(const StatusBitTexts& texts) { statusTexts_ = texts; }

private:
    MeasuringAlgorithm measuringAlgorithm_ = NoMeasuringAlgorithm;
    wxString text27_;
    wxString text17_;
    wxString text18_;
    wxString version_;
    uint8_t byte28_ = 0xFF;
    std::vector<PointParam> params_;
    UnitAddress address_{0xFF, 0xFF, 0xFF};
    DateBytes date12_ = DefaultDate;
    DateBytes date13_ = DefaultDate;
    wxString text11_;
    StatusBitTexts statusTexts_;
};

}  // namespace mirel_varno

#endif
