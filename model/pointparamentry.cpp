#include "model/pointparamentry.h"

#include <cwchar>
#include <string>
#include <utility>

#include "base/datatype.h"
#include "base/error.h"

namespace mirel_varno {

namespace {

constexpr int32_t byteType = static_cast<int32_t>(DataType::Byte);
constexpr int32_t floatType = static_cast<int32_t>(DataType::Float);

}  // namespace

PointParam::PointParam() : value_(int32_t{0}) {}

PointParam::PointParam(uint8_t number, int32_t dataType, wxString name, boost::any value)
    : number_(number), dataType_(dataType), name_(std::move(name)), value_(std::move(value))
{
}

wxString PointParam::valueText() const
{
    if (dataType_ == byteType) {
        return wxString::Format("%d", static_cast<int>(boost::any_cast<uint8_t>(value_)));
    }
    if (dataType_ == floatType) {
        return wxString::Format("%.3g", static_cast<double>(boost::any_cast<float>(value_)));
    }
    VARNO_RAISE(UnsupportedDataFormat);
}

wxString PointParam::text() const
{
    return name_ + ": " + valueText();
}

void PointParam::setValueFromText(const wxString& text)
{
    const std::wstring wide = text.ToStdWstring();
    if (dataType_ == byteType) {
        // wcstoll saturates instead of overflowing; only the low byte is kept.
        const long long n = std::wcstoll(wide.c_str(), nullptr, 10);
        value_ = static_cast<uint8_t>(static_cast<unsigned long long>(n) & 0xFFu);
    } else if (dataType_ == floatType) {
        value_ = static_cast<float>(std::wcstod(wide.c_str(), nullptr));
    }
}

}  // namespace mirel_varno
