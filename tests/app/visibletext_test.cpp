#include <gtest/gtest.h>

#include "app/visibletext.h"

using mirel_varno::visibleText;

TEST(VisibleText, WritesOutWhatWouldBreakALineAndNothingElse)
{
    struct Case {
        wxString in;
        const char* out;
    } cases[] = {
        {"Gas unit 2.4", "Gas unit 2.4"},
        {"", ""},
        {"a\nb\rc\td", "a\\nb\\rc\\td"},
        {"C:\\n", "C:\\n"},  // a backslash stays as the unit sent it
        {wxString("x") + wxUniChar(0x01) + wxUniChar(0x1B) + "[2J" + wxUniChar(0x7F), "x\\x01\\x1B[2J\\x7F"},
        {wxString(wxUniChar(0x85)) + wxUniChar(0x9F) + wxUniChar(0xA0), "\\x85\\x9F\xC2\xA0"},
        {wxString(wxUniChar(0x2028)) + wxUniChar(0x2029), "\\u2028\\u2029"},
        {wxString::FromUTF8("Température °C \xF0\x9F\x98\x80"), "Température °C \xF0\x9F\x98\x80"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(visibleText(c.in).utf8_string(), std::string(c.out)) << c.out;
    }
}
