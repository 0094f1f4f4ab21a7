// Runs the built varno_cycle through its start-up paths: every message and
// exit code before the poll loop.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/process.h"

using varno_test::ProcessResult;
using varno_test::runProcess;
using varno_test::TempDir;

namespace {

const char* const Usage =
    "Command line:\nvarno_cycle.exe -p port -t timeout -c <commands file> -a <addresses file>\n";

ProcessResult cycle(const TempDir& dir, std::vector<std::string> args)
{
    args.insert(args.begin(), VARNO_CYCLE_PATH);
    return runProcess(args, dir.path(), 20000);
}

}  // namespace

TEST(StartUp, IncompleteCommandLinesPrintTheUsage)
{
    TempDir dir;
    const std::vector<std::vector<std::string>> lines = {
        {},
        {"-P", "3", "-t", "500", "-c", "c", "-a", "a"},
        {"-x", "-p", "3", "-t", "500", "-c", "c", "-a", "a"},
        {"-p", "3", "-t", "500", "-:", "-c", "c", "-a", "a"},
        {"-p", "3", "-t", "0", "-c", "c", "-a", "a"},
        {"-p", "3", "-t", "abc", "-c", "c", "-a", "a"},
        {"-p", "3", "-t-5", "-c", "c", "-a", "a"},
        {"-p-1", "-t", "5", "-c", "c", "-a", "a"},
        {"-p", "3", "-t", "5", "-a", "a"},
        {"-p", "3", "-t", "5", "-c", "c", "-a"},
    };
    for (const auto& args : lines) {
        ProcessResult r = cycle(dir, args);
        EXPECT_EQ(r.exitCode, 1) << r.out;
        EXPECT_EQ(r.out, Usage);
    }
}

TEST(StartUp, FileFailuresInTheirOrder)
{
    TempDir dir;
    // Both files missing: only the addresses file is reported.
    ProcessResult r = cycle(dir, {"-p", "3", "-t", "5", "-c", "cmds.txt", "-a", "addr.txt"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "Can't open file addr.txt\n");

    dir.write("junk.txt", "no address here\n\n1.2\n");
    r = cycle(dir, {"-p", "3", "-t", "5", "-c", "cmds.txt", "-a", "junk.txt"});
    EXPECT_EQ(r.exitCode, 5);
    EXPECT_EQ(r.out, "No addresses in file junk.txt\n");

    dir.write("addr.txt", "1.2.3\n");
    r = cycle(dir, {"-p", "3", "-t", "5", "-c", "./cmds.txt", "-a", "addr.txt"});
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_EQ(r.out, "Can't open file ./cmds.txt\n");

    dir.write("cmds.txt", "foo\n# status\n\n");
    r = cycle(dir, {"-p", "3", "-t", "5", "-c", "cmds.txt", "-a", "addr.txt"});
    EXPECT_EQ(r.exitCode, 5);
    EXPECT_EQ(r.out, "No commands in file cmds.txt\n");
}

TEST(StartUp, PortThatCannotBeOpened)
{
    TempDir dir;
    dir.write("addr.txt", "1.2.3\n");
    dir.write("cmds.txt", "status\n");
    // No COM1999 link here and no /dev/ttyS1998 on any machine.
    ProcessResult r = cycle(dir, {"-p", "1999", "-t", "5", "-c", "cmds.txt", "-a", "addr.txt"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.out, "Initializing serial port 1999\nError opening port\n");

    // Any port number is formatted whole.
    r = cycle(dir, {"-p-2147483648", "-t", "5", "-c", "cmds.txt", "-a", "addr.txt"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.out, "Initializing serial port -2147483648\nError opening port\n");
}

TEST(StartUp, NetworkLineThatCannotBeOpenedSaysWhyOnStandardError)
{
    TempDir dir;
    dir.write("addr.txt", "1.2.3\n");
    dir.write("cmds.txt", "status\n");
    // Port 1 on the loopback: nothing listens there without root.
    const struct {
        const char* name;
        const char* reason;
    } cases[] = {
        {"tcp://127.0.0.1:1", "varno_cycle: tcp://127.0.0.1:1: cannot connect to 127.0.0.1 port 1: "
                              "Connection refused\n"},
        {"rfc2217://no-such-host.invalid:2217",
         "varno_cycle: rfc2217://no-such-host.invalid:2217: cannot resolve host "
         "'no-such-host.invalid': "},
        {"tcp://[::1", "varno_cycle: tcp://[::1: expected [ADDRESS]:PORT\n"},
    };
    for (const auto& c : cases) {
        ProcessResult r = cycle(dir, {"-p", c.name, "-t", "5", "-c", "cmds.txt", "-a", "addr.txt"});
        EXPECT_EQ(r.exitCode, 2) << c.name;
        EXPECT_EQ(r.out, std::string("Initializing serial port ") + c.name + "\nError opening port\n");
        EXPECT_EQ(r.err.compare(0, std::strlen(c.reason), c.reason), 0) << r.err;
    }
}
