#include <gtest/gtest.h>

#include "base/error.h"

using namespace mirel_varno;

TEST(Exception, MessageTextsFollowTheTable)
{
    const struct {
        int32_t code;
        const char* text;
    } rows[] = {
        {0, "No error"},
        {1, "Unsupported command"},
        {2, "Unsupported data format"},
        {3, "Package header structure corrupted"},
        {4, "Unknown variable"},
        {5, "Unit is busy and can not answer now"},
        {6, "Unit is busy and will answer later"},
        {7, "Package data corrupted"},
        {10, "Wrong \"Redirect\" package"},
        {0xF00, "No answer"},
        {0xF01, "Not all data received"},
        {0xF02, "Write error"},
        {0xF03, "Serial port error"},
        {0xF04, "Unsupported data type"},
        // No text of their own.
        {8, "Unknown error"},
        {9, "Unknown error"},
        {11, "Unknown error"},
        {254, "Unknown error"},
        {255, "Unknown error"},
        {256, "Unknown error"},
        {0xEFF, "Unknown error"},
        {0xF05, "Unknown error"},
        {-1, "Unknown error"},
        {INT32_MIN, "Unknown error"},
        {INT32_MAX, "Unknown error"},
    };
    for (const auto& row : rows) {
        Exception e("file.cpp", 12, static_cast<Error>(row.code));
        EXPECT_EQ(e.message(), wxString::FromUTF8(row.text)) << "code " << row.code;
        EXPECT_EQ(static_cast<int32_t>(e.code()), row.code);
    }
}

TEST(Exception, CopiesOwnTheirTextsAndMessageReturnsACopy)
{
    Exception original("serialportvarnoprotocol.cpp", 42, NoAnswer);
    Exception copy(original);
    EXPECT_EQ(copy.file(), original.file());
    EXPECT_EQ(copy.line(), 42);
    EXPECT_EQ(copy.code(), NoAnswer);
    EXPECT_EQ(copy.message(), "No answer");

    wxString text = copy.message();
    text += " changed";
    EXPECT_EQ(copy.message(), "No answer");
    EXPECT_EQ(original.message(), "No answer");
}

TEST(Exception, RaiseHelperPassesTheRaisingFileAndLine)
{
    int expectedLine = 0;
    try {
        expectedLine = __LINE__ + 1;
        VARNO_RAISE(UnsupportedDataType);
    } catch (const Exception& e) {
        EXPECT_EQ(e.code(), UnsupportedDataType);
        EXPECT_EQ(e.line(), expectedLine);
        EXPECT_EQ(e.file(), "error_test.cpp");
        return;
    }
    FAIL() << "nothing raised";
}
