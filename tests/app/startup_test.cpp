// Runs the built varno_cycle through its start-up paths: every message and
// exit code before the poll loop.

#include <gtest/gtest.h>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "app/pollcycle.h"
#include "support/process.h"
#include "support/pseudoterminal.h"

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

// Beside the unchanged standard output, standard error names the reason.
TEST(StartUp, ReasonsOnStandardError)
{
    TempDir dir;
    dir.write("addr.txt", "1.2.3\n");
    dir.write("adr\xE9.txt", "1.2.3\n");
    dir.write("cmds.txt", "status\n");
    dir.write("bad-addr.txt", "300.2.3\n1.2\n# spare\n\n1.2.4\n");
    dir.write("bad-cmds.txt", "stat\n# comment\nstatus\n");
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string initOpen = "Initializing serial port 1999\nError opening port\n";
    const struct {
        std::vector<std::string> args;
        int code;
        std::string out;
        std::vector<std::string> err;  // each must appear
    } rows[] = {
        {{"-p", "3", "-t", "abc", "-c", "c", "-a", "a"}, 1, Usage,
         {"varno_cycle: -t: 'abc' is not a number\n", "try 'varno_cycle --help'"}},
        {{"-p", "3", "-t", "0", "-c", "c", "-a", "a"}, 1, Usage,
         {"-t: the pause must be 1 ms or more, not 0\n"}},
        {{"-x", "-p", "3"}, 1, Usage,
         {"unknown option '-x'", "-p (the serial port) is missing", "-a (the addresses file) is missing"}},
        {{"-p", "1999", "-t", "5", "-c", "cmds.txt", "-a", "none.txt"}, 1,
         "Can't open file none.txt\n", {"addresses file none.txt: No such file or directory\n"}},
        {{"-p", "1999", "-t", "5", "-c", "cmds.txt", "-a", "/dev/zero"}, 1,
         "Can't open file /dev/zero\n", {"addresses file /dev/zero: it is a device"}},
        {{"-p", "1999", "-t", "5", "-c", "fifo", "-a", "addr.txt"}, 4, "Can't open file fifo\n",
         {"commands file fifo: a FIFO that did not deliver its data"}},
        {{"-p", "1999", "-t", "5", "-c", "cmds.txt", "-a", "bad-addr.txt"}, 2, initOpen,
         {"bad-addr.txt:1: skipped \"300.2.3\": a number outside 0..255\n",
          "bad-addr.txt:2: skipped \"1.2\": not an address of the form a.b.c\n"}},
        {{"-p", "1999", "-t", "5", "-c", "bad-cmds.txt", "-a", "addr.txt"}, 2, initOpen,
         {"bad-cmds.txt:1: skipped \"stat\": not a command"}},
        {{"-p", "1999", "-t", "5", "-c", "cmds.txt", "-a", "addr.txt"}, 2, initOpen,
         {"cannot open serial port COM1999 (no ./COM1999 in /",
          ", so /dev/ttyS1998): no such device; "}},
        {{"-p", dir.file("cmds.txt"), "-t", "5", "-c", "cmds.txt", "-a", "addr.txt"}, 2,
         "Initializing serial port " + dir.file("cmds.txt") + "\nError opening port\n",
         {"cannot open serial port " + dir.file("cmds.txt") + ": not a serial device\n"}},
        // A name in another encoding opens the file of exactly those bytes
        // and is printed as it was given.
        {{"-p", "1999", "-t", "5", "-c", "cmds.txt", "-a", "adr\xE9.txt"}, 2, initOpen, {}},
        {{"-p", "1999", "-t", "5", "-c", "cmds.txt", "-a", "adr\xE8.txt"}, 1,
         "Can't open file adr\xE8.txt\n", {"addresses file adr\xE8.txt: No such file"}},
        // Messages leave standard output to the records.
        {{"-p", "1999", "-t", "5", "-c", "cmds.txt", "-a", "addr.txt", "--format=json"}, 2, "",
         {"Initializing serial port 1999\nError opening port\n"}},
        {{"-p", "1999", "-t", "5", "-c", "cmds.txt", "-a", "addr.txt", "--quiet"}, 2,
         "Error opening port\n", {"no such device"}},
    };
    for (const auto& row : rows) {
        ProcessResult r = cycle(dir, row.args);
        EXPECT_EQ(r.exitCode, row.code) << row.args[0] << " " << r.err;
        EXPECT_EQ(r.out, row.out) << row.args[0];
        for (const std::string& text : row.err) {
            EXPECT_NE(r.err.find(text), std::string::npos) << "missing: " << text << "\nin: " << r.err;
        }
    }
}

// --strict makes any skipped line a start-up failure of its file, with the
// file's own exit code; without it the same files only warn.
TEST(StartUp, StrictRefusesFilesWithSkippedLines)
{
    TempDir dir;
    dir.write("addr.txt", "1.2.3\n");
    dir.write("cmds.txt", "status\n");
    dir.write("typo-addr.txt", "1.2.3\n1.2.300\n");
    dir.write("typo-cmds.txt", "status\nmesure\n");
    dir.write("quiet-cmds.txt", "# only comments\n\nstatus\n");
    const std::string initOpen = "Initializing serial port 1999\nError opening port\n";
    const struct {
        std::vector<std::string> files;  // -c, -a
        bool strict;
        int code;
        std::string out;
        std::string err;
    } rows[] = {
        {{"typo-cmds.txt", "addr.txt"}, true, 4, "Lines skipped in file typo-cmds.txt\n",
         "commands file typo-cmds.txt: 1 line skipped, and --strict refuses"},
        {{"cmds.txt", "typo-addr.txt"}, true, 1, "Lines skipped in file typo-addr.txt\n",
         "addresses file typo-addr.txt: 1 line skipped, and --strict refuses"},
        // The addresses are read first, so their failure is the one told.
        {{"typo-cmds.txt", "typo-addr.txt"}, true, 1, "Lines skipped in file typo-addr.txt\n",
         "typo-addr.txt:2: skipped \"1.2.300\""},
        // Comments and blank lines are not skipped lines.
        {{"quiet-cmds.txt", "addr.txt"}, true, 2, initOpen, "no such device"},
        {{"typo-cmds.txt", "addr.txt"}, false, 2, initOpen, "typo-cmds.txt:2: skipped \"mesure\""},
    };
    for (const auto& row : rows) {
        std::vector<std::string> args = {"-p", "1999", "-t", "5", "-c", row.files[0], "-a",
                                         row.files[1]};
        if (row.strict) {
            args.push_back("--strict");
        }
        ProcessResult r = cycle(dir, args);
        EXPECT_EQ(r.exitCode, row.code) << row.files[0] << " " << row.files[1] << ": " << r.err;
        EXPECT_EQ(r.out, row.out) << row.files[0] << " " << row.files[1];
        EXPECT_NE(r.err.find(row.err), std::string::npos) << "missing: " << row.err << "\nin: " << r.err;
    }
}

TEST(StartUp, HelpAndVersionOnStandardOutput)
{
    TempDir dir;
    for (const char* option : {"--help", "-h"}) {
        ProcessResult r = cycle(dir, {option});
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out.rfind("Usage: varno_cycle -p PORT -t PAUSE", 0), 0u) << r.out;
        for (const char* each : {"-p PORT", "-t PAUSE", "-c COMMANDS-FILE", "-a ADDRESSES-FILE",
                                 "--format=FORMAT", "--timestamps=iso", "--count N", "--quiet",
                                 "--strict", "--version"}) {
            EXPECT_NE(r.out.find(std::string("\n  ") + each), std::string::npos) << each;
        }
        EXPECT_EQ(r.err, "");
    }
    ProcessResult r = cycle(dir, {"--version"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out.rfind("varno_cycle ", 0), 0u) << r.out;
}

TEST(PortFailure, ReasonAndHintForEachCause)
{
    TempDir dir;
    varno_test::PseudoTerminal terminal;
    const std::string plain = dir.write("plain", "");
    const struct {
        std::string path;
        int error;
        std::string start;
    } rows[] = {
        {dir.file("ttyNone"), ENOENT, "no such device; "},
        {plain, ENOTTY, "not a serial device"},
        {"/dev/null", ENOTTY, "not a serial device (not a terminal)"},
        {terminal.slavePath(), EBUSY, "busy: another program holds it"},
        {terminal.slavePath(), EWOULDBLOCK, "busy: another program holds it"},
        {"tcp://127.0.0.1:1", ECONNREFUSED, "Connection refused"},
    };
    for (const auto& row : rows) {
        const std::string reason = mirel_varno::portFailureReason(row.path, row.error);
        EXPECT_EQ(reason.rfind(row.start, 0), 0u) << row.path << ": " << reason;
    }
    if (geteuid() != 0) {
        ::chmod(plain.c_str(), 0);
        const std::string reason = mirel_varno::portFailureReason(plain, EACCES);
        EXPECT_EQ(reason.rfind("permission denied; the device belongs to group '", 0), 0u) << reason;
        EXPECT_NE(reason.find("sudo usermod -aG "), std::string::npos) << reason;
    }
}

// The hint names a group to join only when joining it is sensible.
TEST(PortFailure, PermissionHintNamesOnlyAGroupWorthJoining)
{
    std::vector<std::pair<gid_t, std::string>> groups;  // gid, its name or ""
    groups.emplace_back(0, "");
    for (const char* name : {"dialout", "tty", "uucp"}) {
        if (const struct group* g = ::getgrnam(name)) {
            groups.emplace_back(g->gr_gid, name);
        }
    }
    groups.emplace_back(60999, "");  // assumed unnamed on a test machine
    if (::getgrgid(60999) != nullptr) {
        groups.pop_back();
    }
    for (const auto& [gid, name] : groups) {
        const std::string reason = mirel_varno::permissionDeniedReason("/dev/ttyUSB0", gid);
        EXPECT_EQ(reason.rfind("permission denied; ", 0), 0u) << reason;
        EXPECT_EQ(reason.find("'root'"), std::string::npos) << reason;
        EXPECT_EQ(reason.find("usermod -aG root"), std::string::npos) << reason;
        if (name.empty()) {
            EXPECT_EQ(reason.find("usermod"), std::string::npos) << gid << ": " << reason;
        } else {
            EXPECT_NE(reason.find("group '" + name + "': join it (sudo usermod -aG " + name),
                      std::string::npos)
                << reason;
        }
    }
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
        {"tcp://127.0.0.1:1", "varno_cycle: cannot open serial port tcp://127.0.0.1:1: cannot "
                              "connect to 127.0.0.1 port 1: Connection refused\n"},
        {"rfc2217://no-such-host.invalid:2217",
         "varno_cycle: cannot open serial port rfc2217://no-such-host.invalid:2217: cannot "
         "resolve host 'no-such-host.invalid': "},
        {"tcp://[::1", "varno_cycle: cannot open serial port tcp://[::1: expected [ADDRESS]:PORT\n"},
    };
    for (const auto& c : cases) {
        ProcessResult r = cycle(dir, {"-p", c.name, "-t", "5", "-c", "cmds.txt", "-a", "addr.txt"});
        EXPECT_EQ(r.exitCode, 2) << c.name;
        EXPECT_EQ(r.out, std::string("Initializing serial port ") + c.name + "\nError opening port\n");
        EXPECT_EQ(r.err.compare(0, std::strlen(c.reason), c.reason), 0) << r.err;
    }
}
