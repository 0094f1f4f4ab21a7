#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/options.h"

using namespace mirel_varno;

namespace {

struct Parsed {
    bool ok;
    CycleSettings settings;
};

Parsed parse(std::vector<std::string> words)
{
    words.insert(words.begin(), "varno_cycle");
    std::vector<const char*> argv;
    for (const std::string& w : words) {
        argv.push_back(w.c_str());
    }
    argv.push_back(nullptr);
    resetOptionIndex();
    Parsed p;
    p.ok = parseCommandLine(static_cast<int>(words.size()), argv.data(), p.settings);
    return p;
}

}  // namespace

TEST(OptionScanner, CodesValuesAndIndexAdvance)
{
    const char* argv[] = {"prog", "-p3", "-t", "500", "word", "-x", "/c", "-", "-:", "-a", nullptr};
    const int argc = 10;
    resetOptionIndex();
    OptionResult r;

    EXPECT_EQ(nextOption(argc, argv, "p:t:c:a:", r), 'p');
    EXPECT_STREQ(r.value, "3");
    EXPECT_EQ(nextOption(argc, argv, "p:t:c:a:", r), 't');
    EXPECT_STREQ(r.value, "500");  // the value was the next argument
    EXPECT_EQ(nextOption(argc, argv, "p:t:c:a:", r), OptionPlainArgument);
    EXPECT_STREQ(r.value, "word");
    EXPECT_EQ(nextOption(argc, argv, "p:t:c:a:", r), OptionUnknown);
    EXPECT_STREQ(r.value, "-x");
    // '/c' takes a value, but "-" starts an option: the value is missing.
    EXPECT_EQ(nextOption(argc, argv, "p:t:c:a:", r), 'c');
    EXPECT_EQ(r.value, nullptr);
    // A lone '-' has no letter at all.
    EXPECT_EQ(nextOption(argc, argv, "p:t:c:a:", r), OptionUnknown);
    EXPECT_STREQ(r.value, "-");
    // ':' is punctuation and stands in the option string.
    EXPECT_EQ(nextOption(argc, argv, "p:t:c:a:", r), ':');
    EXPECT_EQ(r.value, nullptr);
    EXPECT_EQ(nextOption(argc, argv, "p:t:c:a:", r), 'a');
    EXPECT_EQ(r.value, nullptr);
    EXPECT_EQ(nextOption(argc, argv, "p:t:c:a:", r), OptionsEnd);
    EXPECT_EQ(nextOption(argc, argv, "p:t:c:a:", r), OptionsEnd);
}

TEST(OptionScanner, AttachedValueIsEverythingAfterTheLetter)
{
    Parsed p = parse({"-port", "-t1", "-cX", "-aY"});
    EXPECT_TRUE(p.ok);
    EXPECT_EQ(p.settings.port, 0);  // "ort" has no digits
    EXPECT_EQ(p.settings.commandsFile, "X");
}

TEST(ParseCommandLine, Table)
{
    const struct {
        std::vector<std::string> words;
        bool ok;
        int32_t port;
        int32_t pause;
        const char* commands;
        const char* addresses;
        std::string device = "";         // -p given as a path
        const char* problem = nullptr;   // the start of one line for standard error
    } rows[] = {
        {{}, true, -1, 0, "", ""},
        {{"-p", "3", "-t", "500", "-c", "cmds.txt", "-a", "addr.txt"}, true, 3, 500, "cmds.txt", "addr.txt"},
        {{"/p3", "/t500", "/ccmds.txt", "/aaddr.txt"}, true, 3, 500, "cmds.txt", "addr.txt"},
        // A capital letter is unknown: parsing stops there.
        {{"-P", "3", "-t", "500", "-c", "c", "-a", "a"}, true, -1, 0, "", ""},
        {{"-p", "3", "-t", "500", "-c", "c", "-a", "a", "-x", "extra"}, true, 3, 500, "c", "a"},
        {{"-x", "-p", "3", "-t", "500", "-c", "c", "-a", "a"}, true, -1, 0, "", ""},
        // A stray word is skipped.
        {{"-p", "3", "now", "-t", "500", "-c", "c", "-a", "a"}, true, 3, 500, "c", "a"},
        {{"-p", "3", "-:", "-t", "500"}, false, 3, 0, "", ""},
        {{"-t", "0"}, true, -1, 0, "", ""},
        {{"-t", "abc"}, true, -1, 0, "", ""},
        {{"-p", "abc"}, true, 0, 0, "", ""},
        {{"-p-1"}, true, -1, 0, "", ""},
        {{"-t", " +25x"}, true, -1, 25, "", ""},
        {{"-t-40"}, true, -1, -40, "", ""},
        // Out of range numbers are held at the 32-bit limits.
        {{"-p", "99999999999"}, true, INT32_MAX, 0, "", ""},
        // The last occurrence wins; a missing value means not given.
        {{"-c", "first", "-c", "second"}, true, -1, 0, "second", ""},
        {{"-c", "first", "-c"}, true, -1, 0, "", ""},
        {{"-c", "-a", "addr.txt"}, true, -1, 0, "", "addr.txt"},
        {{"-p"}, true, -1, 0, "", "", "", "-p needs a value"},
        // Absolute paths are values; "/p /t500" still leaves -p without one.
        {{"-c", "/etc/varno/commands.txt", "-a", "/x.txt", "-p", "/dev/ttyUSB0"}, true, -1, 0,
         "/etc/varno/commands.txt", "/x.txt", "/dev/ttyUSB0"},
        // "/a.txt" could be -a with the value ".txt"; it is taken for a path
        // only when that file exists.
        {{"-c", "/a.txt"}, true, -1, 0, "", ".txt", "", "-c needs a value"},
        {{"-c", "/proc"}, true, -1, 0, "/proc", ""},
        {{"-c", "/tmp/c", "-a", "/x"}, true, -1, 0, "/tmp/c", "/x"},
        {{"/p", "/t500"}, true, -1, 500, "", "", "", "-p needs a value"},
        {{"-c", "/a", "addr.txt"}, true, -1, 0, "", "addr.txt"},
        {{"-p/dev/serial/by-id/usb-X:1.0-port0"}, true, -1, 0, "", "", "/dev/serial/by-id/usb-X:1.0-port0"},
        {{"-p", "/dev/ttyUSB0", "-p", "4"}, true, 4, 0, "", ""},
        {{"-p", "4", "-p", "./COM4"}, true, -1, 0, "", "", "./COM4"},
        // Values that are not clean numbers are named.
        {{"-t", "abc"}, true, -1, 0, "", "", "", "-t: 'abc' is not a number"},
        {{"-t", "0"}, true, -1, 0, "", "", "", "-t: the pause must be 1 ms or more, not 0"},
        {{"-t", "25x"}, true, -1, 25, "", "", "", "-t: '25x' is not a number; read as 25"},
        {{"-p", "99999999999"}, true, INT32_MAX, 0, "", "", "", "-p: '99999999999' is out of range"},
        {{"-p", "3", "now"}, true, 3, 0, "", "", "", "'now' is not the value of an option"},
        {{"-x", "-p", "3"}, true, -1, 0, "", "", "", "unknown option '-x'"},
        {{"-:"}, false, -1, 0, "", "", "", "'-:' is not an option"},
        // Long options before an unknown one count; unknown long ones stop
        // parsing as any unknown option does.
        {{"--quiet", "-p", "3", "--bogus", "-t", "5"}, true, 3, 0, "", "", "", "unknown option '--bogus'"},
        {{"--format=xml", "-p", "3"}, false, 3, 0, "", "", "", "--format: 'xml' is not one of"},
        {{"--count", "0"}, false, -1, 0, "", "", "", "--count: '0' is not a number of passes"},
        {{"--count=-1"}, false, -1, 0, "", "", "", "--count: '-1' is not a number of passes"},
        {{"--count"}, false, -1, 0, "", "", "", "--count needs a value"},
        {{"--quiet=yes"}, false, -1, 0, "", "", "", "--quiet takes no value"},
        {{"--timestamps", "utc"}, false, -1, 0, "", "", "", "--timestamps: 'utc' is not one of"},
    };
    for (const auto& row : rows) {
        std::string line;
        for (const auto& w : row.words) {
            line += w + " ";
        }
        Parsed p = parse(row.words);
        EXPECT_EQ(p.ok, row.ok) << line;
        EXPECT_EQ(p.settings.port, row.port) << line;
        EXPECT_EQ(p.settings.pause, row.pause) << line;
        EXPECT_EQ(p.settings.commandsFile, row.commands) << line;
        EXPECT_EQ(p.settings.addressesFile, row.addresses) << line;
        EXPECT_EQ(p.settings.addressesPath, row.addresses) << line;
        EXPECT_EQ(p.settings.device, row.device) << line;
        if (row.problem) {
            bool found = false;
            for (const std::string& problem : p.settings.problems) {
                found = found || problem.rfind(row.problem, 0) == 0;
            }
            EXPECT_TRUE(found) << line << " lacks: " << row.problem;
        }
    }

    // The long options' values.
    const struct {
        std::vector<std::string> words;
        ReportFormat format;
        bool iso;
        uint32_t count;
        bool quiet;
        bool help;
        bool version;
    } longRows[] = {
        {{"--format=json", "--count", "3"}, ReportFormat::Json, false, 3, false, false, false},
        {{"--format", "csv", "--count=4294967295"}, ReportFormat::Csv, false, 4294967295u, false, false, false},
        {{"--timestamps=iso", "--quiet"}, ReportFormat::Text, true, 0, true, false, false},
        {{"-p", "3", "-h"}, ReportFormat::Text, false, 0, false, true, false},
        {{"--help"}, ReportFormat::Text, false, 0, false, true, false},
        {{"--version"}, ReportFormat::Text, false, 0, false, false, true},
        {{"--format=json", "--format=text"}, ReportFormat::Text, false, 0, false, false, false},
    };
    for (const auto& row : longRows) {
        Parsed p = parse(row.words);
        EXPECT_TRUE(p.ok) << row.words[0];
        EXPECT_EQ(p.settings.format, row.format) << row.words[0];
        EXPECT_EQ(p.settings.isoTimestamps, row.iso) << row.words[0];
        EXPECT_EQ(p.settings.count, row.count) << row.words[0];
        EXPECT_EQ(p.settings.quiet, row.quiet) << row.words[0];
        EXPECT_EQ(p.settings.help, row.help) << row.words[0];
        EXPECT_EQ(p.settings.version, row.version) << row.words[0];
    }
}

TEST(ParseCommandLine, FileNamesAreKeptWholeAndDecoded)
{
    const std::string longName(5000, 'n');
    Parsed p = parse({"-c", longName, "-a", "adr\xC3\xA9.txt"});
    EXPECT_EQ(p.settings.commandsFile.length(), 5000u);
    EXPECT_EQ(p.settings.addressesFile, wxString::FromUTF8("adr\xC3\xA9.txt"));
    // Bytes that are not UTF-8 keep one character per byte.
    p = parse({"-a", "adr\xE9.txt"});
    EXPECT_EQ(p.settings.addressesFile.length(), 8u);
    EXPECT_EQ(p.settings.addressesFile[3].GetValue(), 0xE9u);
    // The file itself is named by the bytes as given.
    EXPECT_EQ(p.settings.addressesPath, "adr\xE9.txt");
}

TEST(ParseCommandLine, NetworkLineNamesThePort)
{
    Parsed p = parse({"-p", "rfc2217://[::1]:4001?gap=50", "-t", "5"});
    EXPECT_EQ(p.settings.device, "rfc2217://[::1]:4001?gap=50");
    EXPECT_EQ(p.settings.port, -1);
    // The last -p wins, a number or a name.
    p = parse({"-ptcp://host:1", "-p", "4"});
    EXPECT_EQ(p.settings.device, "");
    EXPECT_EQ(p.settings.port, 4);
    p = parse({"-p", "4", "/ptcp://host:1"});
    EXPECT_EQ(p.settings.device, "tcp://host:1");
    EXPECT_EQ(p.settings.port, -1);
}
