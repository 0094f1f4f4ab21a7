#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/inputfiles.h"
#include "support/process.h"

using namespace mirel_varno;
using varno_test::TempDir;

namespace {

std::vector<std::string> texts(const std::vector<UnitAddress>& list)
{
    std::vector<std::string> out;
    for (const UnitAddress& a : list) {
        out.push_back(std::to_string(a.first) + "." + std::to_string(a.second) + "." +
                      std::to_string(a.third));
    }
    return out;
}

}  // namespace

TEST(AddressFile, LinesBecomeAddressesInFileOrder)
{
    TempDir dir;
    const std::string name = dir.write("addr.txt",
                                       "1.2.3\n"
                                       "\n"
                                       "1.2.3\r\n"
                                       "300.2.3\n"
                                       "-1.0.0\n"
                                       "10.0.5 boiler\n"
                                       "  7. +8. 9\r"
                                       "1.2\n"          // two numbers: no entry
                                       "1 .2.3\n"       // the dot must follow the number
                                       "x.1.2\n"
                                       "\xEF\xBB\xBF" "4.4.4\n"  // a BOM inside the file is a character
                                       "5.\xC3\x28.6\n"          // not UTF-8: an empty line
                                       "4294967297.0.1\n"
                                       "9.9.9");                 // no final newline
    std::vector<UnitAddress> list;
    ASSERT_TRUE(readAddressFile(wxString::FromUTF8(name.c_str()), list));
    EXPECT_EQ(texts(list), (std::vector<std::string>{"1.2.3", "1.2.3", "44.2.3", "255.0.0",
                                                     "10.0.5", "7.8.9", "1.0.1", "9.9.9"}));
}

TEST(AddressFile, ByteOrderMarkMakesTheFirstLineUnreadable)
{
    TempDir dir;
    const std::string name = dir.write("addr.txt", "\xEF\xBB\xBF" "1.2.3\n2.3.4\n");
    std::vector<UnitAddress> list;
    ASSERT_TRUE(readAddressFile(wxString::FromUTF8(name.c_str()), list));
    EXPECT_EQ(texts(list), (std::vector<std::string>{"2.3.4"}));
}

TEST(AddressFile, MissingFileIsReported)
{
    TempDir dir;
    std::vector<UnitAddress> list;
    EXPECT_FALSE(readAddressFile(wxString::FromUTF8(dir.file("none.txt").c_str()), list));
    EXPECT_TRUE(list.empty());
}

TEST(CommandFile, KeywordsAreTrimmedAndMatchedWithoutCase)
{
    TempDir dir;
    const std::string name = dir.write("cmds.txt",
                                       "  Status\t\n"
                                       "MEASURE\r\n"
                                       "foo\n"
                                       "\n"
                                       "version\n"
                                       "# status\n"
                                       "measure_accuracy_time\n"
                                       "\xEF\xBB\xBF" "status\n"   // BOM is not trimmed
                                       "\xC3\xA9status\n"
                                       "sta\xFFtus\n"
                                       "\x0B\x0C status \x0B");
    std::vector<int32_t> list;
    ASSERT_TRUE(readCommandFile(wxString::FromUTF8(name.c_str()), list));
    EXPECT_EQ(list, (std::vector<int32_t>{CommandStatus, CommandMeasure, CommandVersion,
                                          CommandMeasureAccuracyTime, CommandStatus}));
}

TEST(TextLines, InvalidLinesDoNotLoseTheOthers)
{
    TempDir dir;
    const std::string name = dir.write("t.txt", "first\n\xFF\xFE\nthird\r\rfifth\r\n");
    std::vector<wxString> lines;
    ASSERT_TRUE(readTextLines(wxString::FromUTF8(name.c_str()), lines));
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "first");
    EXPECT_EQ(lines[1], "");
    EXPECT_EQ(lines[2], "third");
    EXPECT_EQ(lines[3], "");
    EXPECT_EQ(lines[4], "fifth");
}
