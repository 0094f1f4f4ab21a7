#include <gtest/gtest.h>

#include <vector>

#include "protocol/textcodec.h"

using namespace mirel_varno;

namespace {

wxString decode(const std::vector<uint8_t>& bytes)
{
    return decodeUtf16le(bytes.data(), bytes.size());
}

}  // namespace

TEST(TextCodec, DecodesUtf16le)
{
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        std::u32string expected;
    } cases[] = {
        {"terminated", {'V', 0, '1', 0, 0, 0, 'x', 0}, U"V1"},
        {"no terminator", {'a', 0, 'b', 0}, U"ab"},
        {"odd trailing byte", {'a', 0, 'b', 0, 'c'}, U"ab"},
        {"empty", {}, U""},
        {"zero first", {0, 0, 'a', 0}, U""},
        {"BMP", {0xAC, 0x20, 0xE9, 0x00}, U"\u20AC\u00E9"},
        {"surrogate pair", {0x3D, 0xD8, 0x00, 0xDE, '!', 0}, U"\U0001F600!"},
        {"lone high", {0x3D, 0xD8, 'a', 0}, U"\uFFFDa"},
        {"lone high at end", {'a', 0, 0x3D, 0xD8}, U"a\uFFFD"},
        {"lone low", {0x00, 0xDE, 'a', 0}, U"\uFFFDa"},
        {"high then zero", {0x3D, 0xD8, 0, 0, 'a', 0}, U"\uFFFD"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const wxString text = decode(c.bytes);
        std::u32string got;
        for (wxString::const_iterator it = text.begin(); it != text.end(); ++it) {
            got.push_back(static_cast<char32_t>((*it).GetValue()));
        }
        EXPECT_EQ(got, c.expected);
    }
}

TEST(TextCodec, LongTextsAreNotCut)
{
    std::vector<uint8_t> bytes;
    for (int i = 0; i < 3000; ++i) {
        bytes.push_back(static_cast<uint8_t>('a' + i % 26));
        bytes.push_back(0);
    }
    EXPECT_EQ(decode(bytes).length(), 3000u);
}

TEST(TextCodec, EncodesWithTerminatorAndRoundTrips)
{
    EXPECT_EQ(encodeUtf16le(wxString("V1")), (std::vector<uint8_t>{'V', 0, '1', 0, 0, 0}));
    EXPECT_EQ(encodeUtf16le(wxString()), (std::vector<uint8_t>{0, 0}));

    const wxString text = wxString::FromUTF8("Me\xC3\x9F" "ger\xC3\xA4t \xF0\x9F\x98\x80");
    const std::vector<uint8_t> bytes = encodeUtf16le(text);
    EXPECT_EQ(bytes.size(), 2u * (text.length() + 1 + 1));  // one pair, one terminator
    EXPECT_EQ(decode(bytes), text);
}
