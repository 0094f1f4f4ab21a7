#ifndef MIREL_VARNO_MODEL_POINTPARAMENTRY_H
#define MIREL_VARNO_MODEL_POINTPARAMENTRY_H

#include <cstdint>
#include <utility>

#include <boost/any.hpp>
#include <wx/string.h>

namespace mirel_varno {

// One adjustable parameter of a unit: the variable that holds its value,
// the data type of that value, its name and the value itself. The held
// type follows the data type: uint8_t for Byte (1), LSingle for Packed
// (13), float for Float (25). Reading the value as another type raises
// boost::bad_any_cast.
class PointParam {
public:
    // Number 0, data type 0, no name, value int32_t(0): not read yet.
    PointParam();
    PointParam(uint8_t number, int32_t dataType, wxString name, boost::any value);

    uint8_t number() const { return number_; }
    int32_t dataType() const { return dataType_; }
    wxString name() const { return name_; }
    const boost::any& value() const { return value_; }
    // The value as T; raises boost::bad_any_cast when it holds another type.
    template <typename T>
    T valueAs() const { return boost::any_cast<T>(value_); }

    void setNumber(uint8_t number) { number_ = number; }
    void setDataType(int32_t dataType) { dataType_ = dataType; }
    void setValue(boost::any value) { value_ = std::move(value); }

    // "%d" of a Byte value, "%.3g" of a Float value. Raises Exception
    // UnsupportedDataFormat for any other data type (Packed included), and
    // boost::bad_any_cast when the value does not hold the type that the
    // data type names.
    wxString valueText() const;
    // name, ": ", valueText(); raises as valueText() does.
    wxString text() const;
    // Byte: the text's leading decimal integer (after blanks, with sign;
    // 0 when there is none), reduced to its low 8 bits. Float: the text's
    // leading decimal number narrowed to float (0 when there is none).
    // Any other data type: the value stays as it is. Never raises.
    void setValueFromText(const wxString& text);

private:
    uint8_t number_ = 0;
    int32_t dataType_ = 0;
    wxString name_;
    boost::any value_;
};

}  // namespace mirel_varno

#endif
