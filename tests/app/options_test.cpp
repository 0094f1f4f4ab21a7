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
        {{"-p"}, true, -1, 0, "", ""},
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
