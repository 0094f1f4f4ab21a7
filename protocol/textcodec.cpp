#include "protocol/textcodec.h"

namespace mirel_varno {

namespace {

constexpr uint32_t Replacement = 0xFFFD;

bool isHighSurrogate(uint32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool isLowSurrogate(uint32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

void appendUnit(std::vector<uint8_t>& out, uint32_t unit)
{
    out.push_back(static_cast<uint8_t>(unit));
    out.push_back(static_cast<uint8_t>(unit >> 8));
}

}  // namespace

wxString decodeUtf16le(const uint8_t* bytes, size_t count)
{
    const size_t units = count / 2;
    auto unitAt = [bytes](size_t i) {
        return static_cast<uint32_t>(bytes[2 * i]) | static_cast<uint32_t>(bytes[2 * i + 1]) << 8;
    };

    wxString text;
    for (size_t i = 0; i < units; ++i) {
        const uint32_t u = unitAt(i);
        if (u == 0) {
            break;
        }
        uint32_t code = u;
        if (isHighSurrogate(u)) {
            const uint32_t next = i + 1 < units ? unitAt(i + 1) : 0;
            if (isLowSurrogate(next)) {
                code = 0x10000 + ((u - 0xD800) << 10) + (next - 0xDC00);
                ++i;
            } else {
                code = Replacement;
            }
        } else if (isLowSurrogate(u)) {
            code = Replacement;
        }
        text += wxUniChar(code);
    }
    return text;
}

std::vector<uint8_t> encodeUtf16le(const wxString& text)
{
    std::vector<uint8_t> out;
    out.reserve(2 * text.length() + 2);
    for (wxString::const_iterator it = text.begin(); it != text.end(); ++it) {
        uint32_t code = static_cast<uint32_t>((*it).GetValue());
        if (code == 0) {
            break;
        }
        if (code > 0x10FFFF || isHighSurrogate(code) || isLowSurrogate(code)) {
            code = Replacement;
        }
        if (code >= 0x10000) {
            code -= 0x10000;
            appendUnit(out, 0xD800 + (code >> 10));
            appendUnit(out, 0xDC00 + (code & 0x3FF));
        } else {
            appendUnit(out, code);
        }
    }
    appendUnit(out, 0);
    return out;
}

}  // namespace mirel_varno
