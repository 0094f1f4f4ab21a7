#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "app/inputfiles.h"
#include "support/process.h"
#include "support/pseudoterminal.h"

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

std::vector<size_t> skippedNumbers(const InputFileReport& report)
{
    std::vector<size_t> out;
    for (const SkippedLine& line : report.skipped) {
        out.push_back(line.number);
    }
    return out;
}

}  // namespace

TEST(AddressFile, LinesBecomeAddressesAndTheRestIsReported)
{
    TempDir dir;
    const std::string name = dir.write("addr.txt",
                                       "\xEF\xBB\xBF" "1.2.3\n"  // 1: the mark is dropped
                                       "\n"                       // 2: silent
                                       "1.2.3\r\n"                // 3
                                       "300.2.3\n"                // 4: out of range
                                       "-1.0.0\n"                 // 5: out of range
                                       "10.0.5 boiler\n"          // 6
                                       "  7. +8. 9\r"             // 7
                                       "1.2\n"                    // 8: two numbers
                                       "1 .2.3\n"                 // 9: the dot must follow
                                       "# 1.1.1 spare\n"          // 10: comment, silent
                                       "  \t\n"                   // 11: blank, silent
                                       "\xEF\xBB\xBF" "4.4.4\n"   // 12: a mark inside the file
                                       "5.\xC3\x28.6\n"           // 13: not UTF-8
                                       "4294967297.0.1\n"         // 14: out of range
                                       "255.0.0\n"                // 15
                                       "9.9.9");                  // 16: no final newline
    std::vector<UnitAddress> list;
    InputFileReport report;
    ASSERT_TRUE(readAddressFile(name, list, report)) << report.failure;
    EXPECT_EQ(texts(list), (std::vector<std::string>{"1.2.3", "1.2.3", "10.0.5", "7.8.9",
                                                     "255.0.0", "9.9.9"}));
    EXPECT_EQ(skippedNumbers(report), (std::vector<size_t>{4, 5, 8, 9, 12, 13, 14}));
    EXPECT_EQ(report.skippedCount, 7u);
    EXPECT_EQ(report.skipped[0].bytes, "300.2.3");
    EXPECT_EQ(report.skipped[0].reason, "a number outside 0..255");
    EXPECT_EQ(report.skipped[2].reason, "not an address of the form a.b.c");
    EXPECT_EQ(report.skipped[5].reason, "not UTF-8 text");
}

TEST(AddressFile, ManySkippedLinesAreCountedButKeptBounded)
{
    TempDir dir;
    std::string content;
    for (int i = 0; i < 1000; ++i) {
        content += "junk\n";
    }
    std::vector<UnitAddress> list;
    InputFileReport report;
    ASSERT_TRUE(readAddressFile(dir.write("a.txt", content + "1.2.3\n"), list, report));
    EXPECT_EQ(list.size(), 1u);
    EXPECT_EQ(report.skippedCount, 1000u);
    EXPECT_EQ(report.skipped.size(), InputFileReport::MaxKept);
}

TEST(CommandFile, KeywordsAreTrimmedAndMatchedWithoutCase)
{
    TempDir dir;
    const std::string name = dir.write("cmds.txt",
                                       "\xEF\xBB\xBF" "status\n"   // 1: the mark is dropped
                                       "  Status\t\n"              // 2
                                       "MEASURE\r\n"               // 3
                                       "foo\n"                     // 4: reported
                                       "\n"                        // 5
                                       "version\n"                 // 6
                                       "# status\n"                // 7: comment
                                       "measure_accuracy_time\n"   // 8
                                       "\xC3\xA9status\n"          // 9: reported
                                       "sta\xFFtus\n"              // 10: not UTF-8
                                       "\x0B\x0C status \x0B");    // 11
    std::vector<int32_t> list;
    InputFileReport report;
    ASSERT_TRUE(readCommandFile(name, list, report));
    EXPECT_EQ(list, (std::vector<int32_t>{CommandStatus, CommandStatus, CommandMeasure,
                                          CommandVersion, CommandMeasureAccuracyTime,
                                          CommandStatus}));
    EXPECT_EQ(skippedNumbers(report), (std::vector<size_t>{4, 9, 10}));
}

TEST(TextLines, LineEndsOfEveryKindAlsoAcrossReadChunks)
{
    TempDir dir;
    // The CR LF pair straddles the reader's 64 KiB chunks.
    const std::string longLine(65535, 'x');
    const std::string name = dir.write("t.txt", longLine + "\r\nfirst\n\xFF\xFE\nthird\r\rfifth\r\n");
    std::vector<std::string> lines;
    std::string failure;
    ASSERT_TRUE(readFileLines(
        name, [&](size_t number, const std::string& line) {
            EXPECT_EQ(number, lines.size() + 1);
            lines.push_back(line);
        },
        failure));
    EXPECT_EQ(lines, (std::vector<std::string>{longLine, "first", "\xFF\xFE", "third", "",
                                               "fifth"}));
}

// A file name is the bytes that were given, whatever their encoding.
TEST(InputFileNames, BytesThatAreNotUtf8NameTheFile)
{
    TempDir dir;
    const std::string latin1 = dir.write("addr\xE9.txt", "1.2.3\n");
    const std::string utf8 = dir.write("addr\xC3\xA9.txt", "4.5.6\n");
    std::vector<UnitAddress> list;
    InputFileReport report;
    ASSERT_TRUE(readAddressFile(latin1, list, report)) << report.failure;
    ASSERT_TRUE(readAddressFile(utf8, list, report)) << report.failure;
    EXPECT_EQ(texts(list), (std::vector<std::string>{"1.2.3", "4.5.6"}));
    // Only the exact bytes: no other encoding of the name is tried.
    ::unlink(latin1.c_str());
    EXPECT_FALSE(readAddressFile(latin1, list, report));
    EXPECT_EQ(report.failure, "No such file or directory");
}

// Input that is not a bounded file is refused at once, with its reason.
TEST(InputFileKinds, DevicesDirectoriesAndOversizedFilesAreRefused)
{
    TempDir dir;
    varno_test::PseudoTerminal terminal;
    std::string big(InputFileLimit, '\n');
    const std::string atLimit = dir.write("limit.txt", big);
    const std::string over = dir.write("over.txt", big + "\n");
    const struct {
        std::string path;
        const char* reasonStart;  // null: read
    } rows[] = {
        {"/dev/zero", "it is a device"},
        {"/dev/urandom", "it is a device"},
        {terminal.slavePath(), "it is a device"},
        {dir.path(), "it is a directory"},
        {over, "it is larger than 1048576 bytes"},
        {atLimit, nullptr},
        {dir.file("none"), "No such file or directory"},
    };
    for (const auto& row : rows) {
        std::vector<int32_t> list;
        InputFileReport report;
        const auto start = std::chrono::steady_clock::now();
        const bool ok = readCommandFile(row.path, list, report);
        const auto spent = std::chrono::steady_clock::now() - start;
        EXPECT_LT(spent, std::chrono::seconds(5)) << row.path;
        if (row.reasonStart == nullptr) {
            EXPECT_TRUE(ok) << row.path << ": " << report.failure;
        } else {
            EXPECT_FALSE(ok) << row.path;
            EXPECT_EQ(report.failure.rfind(row.reasonStart, 0), 0u)
                << row.path << ": " << report.failure;
            EXPECT_TRUE(list.empty());
        }
    }
}

TEST(InputFileKinds, FifoIsReadWhenWrittenAndRefusedWhenNot)
{
    TempDir dir;
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

    // Nobody writes: refused after the delivery time, not blocked for ever.
    std::vector<UnitAddress> list;
    InputFileReport report;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(readAddressFile(fifo, list, report));
    auto spent = std::chrono::steady_clock::now() - start;
    EXPECT_NE(report.failure.find("FIFO"), std::string::npos) << report.failure;
    EXPECT_GE(spent, std::chrono::milliseconds(FifoDeliveryMs - 100));
    EXPECT_LT(spent, std::chrono::milliseconds(FifoDeliveryMs + 3000));

    // A writer that comes a little later and sends in two pieces.
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        FILE* f = std::fopen(fifo.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs("1.2.3\n1.2.", f);
        std::fflush(f);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::fputs("4\n", f);
        std::fclose(f);
    });
    report = InputFileReport();
    EXPECT_TRUE(readAddressFile(fifo, list, report)) << report.failure;
    writer.join();
    EXPECT_EQ(texts(list), (std::vector<std::string>{"1.2.3", "1.2.4"}));
}

TEST(QuotedBytes, ControlAndInvalidBytesAreEscaped)
{
    EXPECT_EQ(quotedBytes("a\tb"), "\"a\\x09b\"");
    EXPECT_EQ(quotedBytes("\xC3\xA9\xFF\"\\"), "\"\xC3\xA9\\xFF\\\"\\\\\"");
    EXPECT_EQ(quotedBytes("\xE2\x82"), "\"\\xE2\\x82\"");
}
