// varno_cycle end to end: the built tool polling simulated units over a
// pseudo-terminal, checked by what it prints and how it exits.
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <fstream>
#include <iterator>
#include <regex>

#include <nlohmann/json.hpp>

#include "protocol/frame.h"
#include "simfixture.h"
#include "support/pseudoterminal.h"

using varno_sim::ChildProcess;

namespace {

const char* const Usage[] = {"Command line:",
                             "varno_cycle.exe -p port -t timeout -c <commands file> -a <addresses file>"};

class Cycle : public varno_test::SimLineTest {
protected:
    // Starts varno_cycle in the working directory on our port.
    // With a terminal path, the tool runs in the foreground of that terminal.
    std::unique_ptr<ChildProcess> startCycle(const std::string& commands, const std::string& addresses,
                                             int pauseMs = 10, int stdinFd = -1, const std::string& terminal = "")
    {
        writeFile("commands.txt", commands);
        writeFile("addresses.txt", addresses);
        auto p = std::make_unique<ChildProcess>();
        const std::vector<std::string> argv = {VARNO_CYCLE_PATH, "-p", std::to_string(port_), "-t",
                                               std::to_string(pauseMs), "-c", "commands.txt", "-a", "addresses.txt"};
        EXPECT_TRUE(terminal.empty() ? p->start(argv, dir_, stdinFd) : p->startOnTerminal(argv, dir_, terminal));
        std::string line;
        EXPECT_TRUE(p->readLine(line, 10000));
        EXPECT_EQ(line, "Initializing serial port " + std::to_string(port_));
        return p;
    }

    // The next n report lines, split into address and result after
    // checking the time stamp's form.
    static std::vector<std::pair<std::string, std::string>> reports(ChildProcess& p, size_t n, int timeoutMs = 15000)
    {
        static const std::regex form(R"(^\d\d:\d\d:\d\d (\d+\.\d+\.\d+)\t(.*)$)");
        std::vector<std::pair<std::string, std::string>> out;
        const int64_t deadline = varno_sim::monotonicMillis() + timeoutMs;
        std::string line;
        while (out.size() < n) {
            const int64_t left = deadline - varno_sim::monotonicMillis();
            if (left <= 0 || !p.readLine(line, static_cast<int>(left))) {
                ADD_FAILURE() << "only " << out.size() << " of " << n << " report lines";
                break;
            }
            std::smatch m;
            if (!std::regex_match(line, m, form)) {
                ADD_FAILURE() << "not a report line: " << line;
                continue;
            }
            out.emplace_back(m[1], m[2]);
        }
        return out;
    }

    // Presses a key and expects a clean exit within the time.
    static void pressKeyAndExpectExit(ChildProcess& p, int timeoutMs = 15000)
    {
        ASSERT_TRUE(p.writeStdin("k"));
        ASSERT_TRUE(p.wait(timeoutMs)) << "no exit after the key";
        EXPECT_EQ(p.exitCode(), 0);
    }
};

const char* const Healthy =
    "[a]\naddress = 1.2.3\nstatus = 0x00A4\nmeasure = 12.5\ntime = 30\naccuracy = 7\nversion = Unit 2.4 rev B\n"
    "[b]\naddress = 255.0.7\nstatus = 0x1F\nmeasure = -0.0625\ntime = -1\naccuracy = 100\nversion = \n";

}  // namespace

TEST_F(Cycle, StartUpFailuresPrintOneMessageAndExitWithTheirCode)
{
    writeFile("one.txt", "1.2.3\n");
    writeFile("empty.txt", "\n\n");
    writeFile("status.txt", "status\n");
    writeFile("unknown.txt", "foo\nbar\n");
    const std::string port = std::to_string(port_);
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> lines;
        int code;
    };
    const std::vector<Case> cases = {
        {{}, {Usage[0], Usage[1]}, 1},
        {{"-p", port, "-t", "0", "-c", "status.txt", "-a", "one.txt"}, {Usage[0], Usage[1]}, 1},
        {{"-p", port, "-t", "5", "-c", "status.txt", "-a", "missing.txt"}, {"Can't open file missing.txt"}, 1},
        {{"-p", port, "-t", "5", "-c", "missing.txt", "-a", "empty.txt"}, {"No addresses in file empty.txt"}, 5},
        {{"-p", port, "-t", "5", "-c", "missing.txt", "-a", "one.txt"}, {"Can't open file missing.txt"}, 4},
        {{"-p", port, "-t", "5", "-c", "unknown.txt", "-a", "one.txt"}, {"No commands in file unknown.txt"}, 5},
        // No simulator, so no COM link: the port cannot be opened.
        {{"/p" + port, "/t5", "/cstatus.txt", "/aone.txt"}, {"Initializing serial port " + port, "Error opening port"}, 2},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv = {VARNO_CYCLE_PATH};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        SCOPED_TRACE(testing::PrintToString(argv));
        ChildProcess p;
        const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
        ASSERT_TRUE(p.start(argv, dir_, null));
        close(null);
        std::string expected;
        for (const std::string& l : c.lines) {
            expected += l + "\n";
        }
        EXPECT_EQ(p.readRest(10000), expected);
        ASSERT_TRUE(p.wait(10000));
        EXPECT_EQ(p.exitCode(), c.code);
    }
}

TEST_F(Cycle, PrintsTheThreeCommandsCommandOuterAddressInnerWhileRunning)
{
    startSim(Healthy);
    auto p = startCycle("status\nMeasure\n  measure_accuracy_time\t\nversion\n", "1.2.3\n255.0.7\n");
    // Lines arrive through the pipe while the tool runs: output is flushed.
    const auto lines = reports(*p, 10);
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"1.2.3", "Status: 0x00A4"},
        {"255.0.7", "Status: 0x001F"},
        {"1.2.3", "Measure: 12.500 007% 30 s"},
        {"255.0.7", "Measure: -0.062 100% -1 s"},
        {"1.2.3", "Measure: 12.500 007% 30 s"},
        {"255.0.7", "Measure: -0.062 100% -1 s"},
        {"1.2.3", "Version: Unit 2.4 rev B"},
        {"255.0.7", "Version: "},
        {"1.2.3", "Status: 0x00A4"},
        {"255.0.7", "Status: 0x001F"},
    };
    EXPECT_EQ(lines, expected);
    EXPECT_TRUE(p->running());
    pressKeyAndExpectExit(*p);
}

TEST_F(Cycle, EachFailureIsReportedWithItsTextAndTheCycleGoesOn)
{
    startSim("[ok]\naddress = 1.0.1\nstatus = 0x0001\n"
             "[silent]\naddress = 1.0.2\nfault = silent\n"
             "[header]\naddress = 1.0.3\nfault = corrupt-header\n"
             "[data]\naddress = 1.0.4\nfault = corrupt-data\n"
             "[cut]\naddress = 1.0.5\nfault = stop 10\n"
             "[cutdata]\naddress = 1.0.6\nfault = stop 16\n"
             "[nodata]\naddress = 1.0.7\nfault = no-data\n"
             "[unknown]\naddress = 1.0.8\nfault.24 = error 4\n"
             "[busy]\naddress = 1.0.9\nfault = error 5\n"
             "[later]\naddress = 1.0.10\nfault = error 6\n"
             "[redirect]\naddress = 1.0.11\nfault = error 10\n"
             "[nine]\naddress = 1.0.12\nfault = error 9\n"
             "[type]\naddress = 1.0.13\nfault = wrong-type\n");
    auto p = startCycle("status\n",
                        "1.0.1\n1.0.2\n1.0.3\n1.0.4\n1.0.5\n1.0.6\n1.0.7\n1.0.8\n1.0.9\n1.0.10\n1.0.11\n1.0.12\n"
                        "1.0.13\n1.0.1\n");
    const auto lines = reports(*p, 14, 30000);
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"1.0.1", "Status: 0x0001"},
        {"1.0.2", "No answer"},
        {"1.0.3", "Package header structure corrupted"},
        {"1.0.4", "Package data corrupted"},
        {"1.0.5", "Not all data received"},
        {"1.0.6", "Not all data received"},
        {"1.0.7", "No answer"},
        {"1.0.8", "Unknown variable"},
        {"1.0.9", "Unit is busy and can not answer now"},
        {"1.0.10", "Unit is busy and will answer later"},
        {"1.0.11", "Wrong \"Redirect\" package"},
        {"1.0.12", "Unknown error"},
        {"1.0.13", "Unsupported data format"},
        {"1.0.1", "Status: 0x0001"},  // nothing left over from the failures
    };
    EXPECT_EQ(lines, expected);
    pressKeyAndExpectExit(*p, 30000);
}

TEST_F(Cycle, AKeyEndsTheCycleAfterThePassInProgress)
{
    startSim(Healthy);
    auto p = startCycle("status\nversion\n", "1.2.3\n255.0.7\n", 400);
    const auto first = reports(*p, 1);
    ASSERT_TRUE(p->writeStdin("x"));
    // The status pass still serves 255.0.7; no version line may follow
    // unless the key came too late for that pass (a slow machine).
    const std::string rest = p->readRest(15000);
    ASSERT_TRUE(p->wait(5000));
    EXPECT_EQ(p->exitCode(), 0);
    const std::regex line(R"(\d\d:\d\d:\d\d (\S+)\t([^\n]*)\n)");
    std::vector<std::string> addresses = {first.at(0).first};
    for (std::sregex_iterator it(rest.begin(), rest.end(), line), end; it != end; ++it) {
        addresses.push_back((*it)[1]);
    }
    ASSERT_GE(addresses.size(), 2u) << rest;
    EXPECT_EQ(addresses.size() % 2, 0u) << "a pass was cut short:\n" << rest;
    EXPECT_LE(addresses.size(), 4u) << rest;
    EXPECT_EQ(addresses.back(), "255.0.7");
}

TEST_F(Cycle, EndOfInputIsNoKeyAndSignalsStopCleanly)
{
    startSim(Healthy);
    for (int sig : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(sig);
        const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
        auto p = startCycle("status\n", "1.2.3\n", 10, null);
        close(null);
        EXPECT_EQ(reports(*p, 3).size(), 3u);  // EOF at once, still polling
        p->signal(sig);
        ASSERT_TRUE(p->wait(10000));
        EXPECT_EQ(p->exitCode(), 0);
    }
    // A closed pipe is the same: no key, polling goes on until a signal.
    auto p = startCycle("status\n", "1.2.3\n");
    p->closeStdin();
    EXPECT_EQ(reports(*p, 3).size(), 3u);
    p->signal(SIGTERM);
    ASSERT_TRUE(p->wait(10000));
    EXPECT_EQ(p->exitCode(), 0);
}

TEST_F(Cycle, OnATerminalAKeyOrASignalStopsItAndTheTerminalIsRestored)
{
    startSim(Healthy);
    int master = -1;
    int slave = -1;
    char name[128] = {};
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    termios before{};
    ASSERT_EQ(tcgetattr(slave, &before), 0);
    ASSERT_TRUE(before.c_lflag & ICANON);

    // 0 stands for a key; a hung-up terminal and the quit key end the run
    // as SIGTERM does.
    for (int sig : {0, SIGTERM, SIGHUP, SIGQUIT}) {
        SCOPED_TRACE(sig == 0 ? "key" : strsignal(sig));
        auto p = startCycle("status\n", "1.2.3\n", 50, -1, name);
        EXPECT_EQ(reports(*p, 2).size(), 2u);
        termios during{};
        ASSERT_EQ(tcgetattr(slave, &during), 0);
        EXPECT_FALSE(during.c_lflag & ICANON) << "keys would wait for Enter";
        if (sig == 0) {
            // One key, no Enter.
            ASSERT_EQ(write(master, "q", 1), 1);
        } else {
            p->signal(sig);
        }
        ASSERT_TRUE(p->wait(10000)) << "no stop";
        EXPECT_EQ(p->exitCode(), 0);

        termios after{};
        ASSERT_EQ(tcgetattr(slave, &after), 0);
        EXPECT_EQ(after.c_lflag, before.c_lflag);
        EXPECT_EQ(after.c_iflag, before.c_iflag);
        EXPECT_EQ(after.c_oflag, before.c_oflag);
        EXPECT_EQ(after.c_cc[VMIN], before.c_cc[VMIN]);
        EXPECT_EQ(after.c_cc[VTIME], before.c_cc[VTIME]);
    }
    close(slave);
    close(master);
}

TEST_F(Cycle, AStopSignalEndsAReceiveThatAwaitsALongBlock)
{
    using namespace mirel_varno;
    for (int sig : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(strsignal(sig));
        // The test plays the unit: its reply header promises 32000 data
        // bytes that never come, a wait of some 32 s for the tool.
        varno_test::PseudoTerminal unit;
        unit.linkAs(path(comName()));
        auto p = startCycle("status\n", "1.2.3\n");
        FrameHeader request;
        const std::vector<uint8_t> head = unit.read(FrameHeaderSize, 10000);
        ASSERT_EQ(head.size(), FrameHeaderSize);
        std::copy(head.begin(), head.end(), request.bytes);
        ASSERT_EQ(unit.read(request.length() + FrameChecksumSize, 5000).size(),
                  request.length() + FrameChecksumSize);
        const FrameHeader reply = makeHeader(HostAddress, request.destination(), FunctionCode::ReadVariable,
                                             DataType::Word, 32000);
        unit.write(std::vector<uint8_t>(reply.bytes, reply.bytes + FrameHeaderSize));
        usleep(300000);  // the tool is waiting for the block now

        const int64_t start = varno_sim::monotonicMillis();
        p->signal(sig);
        ASSERT_TRUE(p->wait(10000)) << "no stop";
        const int64_t elapsed = varno_sim::monotonicMillis() - start;
        EXPECT_EQ(p->exitCode(), 0);
        // Within 0.5 s; the band is wide for loaded and sanitizer builds,
        // and still far below the block's own time limit.
        EXPECT_LT(elapsed, 1500);
        RecordProperty(std::string("stop_ms_") + std::to_string(sig), std::to_string(elapsed));
        EXPECT_EQ(p->readRest(1000), "") << "the cut-short exchange was reported";
    }
}

TEST_F(Cycle, ASecondInstanceOnABusyPortIsRefused)
{
    startSim(Healthy);
    auto first = startCycle("status\n", "1.2.3\n");
    EXPECT_EQ(reports(*first, 1).size(), 1u);

    ChildProcess second;
    const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int err = open(path("second.err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    second.redirectStderr(err);
    ASSERT_TRUE(second.start({VARNO_CYCLE_PATH, "-p", std::to_string(port_), "-t", "10", "-c", "commands.txt", "-a",
                              "addresses.txt"},
                             dir_, null));
    close(null);
    close(err);
    EXPECT_EQ(second.readRest(10000),
              "Initializing serial port " + std::to_string(port_) + "\nError opening port\n");
    ASSERT_TRUE(second.wait(5000));
    EXPECT_EQ(second.exitCode(), 2);
    std::ifstream reason(path("second.err"));
    const std::string text((std::istreambuf_iterator<char>(reason)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("cannot open serial port " + comName() + ": busy: another program holds it"),
              std::string::npos)
        << text;

    // The first goes on undisturbed.
    const auto later = reports(*first, 2);
    ASSERT_EQ(later.size(), 2u);
    EXPECT_EQ(later[1].second, "Status: 0x00A4");
    pressKeyAndExpectExit(*first);
}

TEST_F(Cycle, ARestartAfterSigkillOpensThePortAtOnce)
{
    // The simulator holds the line throughout, as a bridge would.
    startSim(Healthy);
    auto first = startCycle("status\n", "1.2.3\n");
    EXPECT_EQ(reports(*first, 1).size(), 1u);
    first->signal(SIGKILL);
    ASSERT_TRUE(first->wait(5000));

    auto second = startCycle("status\n", "1.2.3\n");
    const auto lines = reports(*second, 1);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].second, "Status: 0x00A4");
    pressKeyAndExpectExit(*second);
}

TEST_F(Cycle, AMonitoringRunSeesAUnitFailAndRecover)
{
    startSim(Healthy, {"--no-pacing", "--control", "control"});
    auto p = startCycle("status\n", "1.2.3\n", 20);
    EXPECT_EQ(reports(*p, 1).at(0).second, "Status: 0x00A4");

    auto command = [this](const std::string& text) {
        std::ofstream(path("control")) << text << "\n";
        std::string ack;
        ASSERT_TRUE(sim_->readLine(ack, 5000));
        EXPECT_EQ(ack.rfind("control: " + text + " -> 1.2.3", 0), 0u) << ack;
    };
    // Waits, within a bounded number of lines, for a result.
    auto await = [&p](const std::string& result) {
        for (int i = 0; i < 20; ++i) {
            const auto r = reports(*p, 1);
            if (r.empty() || r[0].second == result) {
                return !r.empty();
            }
        }
        return false;
    };
    command("fault 1.2.3 silent");
    EXPECT_TRUE(await("No answer"));
    command("clear 1.2.3");
    command("set 1.2.3 status 0x0020");
    EXPECT_TRUE(await("Status: 0x0020"));
    pressKeyAndExpectExit(*p);
}

TEST_F(Cycle, RunsAtTheRealLineSpeed)
{
    startSim("[a]\naddress = 1.2.3\nstatus = 0x00A4\nmeasure = 12.5\ntime = 30\naccuracy = 7\n"
             "version = A version text of some length to span many bytes on the line\n",
             {"--baud", "9600"});
    auto p = startCycle("status\nmeasure\nversion\n", "1.2.3\n");
    const auto lines = reports(*p, 3);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].second, "Status: 0x00A4");
    EXPECT_EQ(lines[1].second, "Measure: 12.500 007% 30 s");
    EXPECT_EQ(lines[2].second, "Version: A version text of some length to span many bytes on the line");
    pressKeyAndExpectExit(*p);
}

TEST_F(Cycle, PollingResumesWhenTheLineComesBack)
{
    startSim(Healthy);
    auto p = startCycle("status\n", "1.2.3\n");
    ASSERT_EQ(reports(*p, 1).at(0).second, "Status: 0x00A4");

    // The line goes away, as an unplugged adapter does: the simulator ends
    // and takes its link with it.
    sim_->signal(SIGTERM);
    ASSERT_TRUE(sim_->wait(5000));
    // Reads until `result` comes, at most `limit` lines.
    const auto until = [&p](const std::string& result, int limit) {
        for (int i = 0; i < limit; ++i) {
            const auto r = reports(*p, 1);
            if (r.empty() || r[0].second == result) {
                return !r.empty();
            }
        }
        return false;
    };
    EXPECT_TRUE(until("No answer", 20));

    // Plugged back in: the same name leads to a new device, which the tool
    // opens again by itself.
    startSim(Healthy);
    EXPECT_TRUE(until("Status: 0x00A4", 200));
    pressKeyAndExpectExit(*p);
}

namespace {

struct RunResult {
    std::string out;
    std::string err;
    int code = -1;
};

// Runs the tool to its end with the given arguments after "-p <port>",
// standard input from /dev/null and standard error kept apart. With a
// shell line, the tool runs inside it as "$@" (for redirections).
RunResult runCycle(const std::string& dir, int port, std::vector<std::string> args,
             const std::string& shellLine = "")
{
    std::vector<std::string> argv = {VARNO_CYCLE_PATH, "-p", std::to_string(port)};
    argv.insert(argv.end(), args.begin(), args.end());
    if (!shellLine.empty()) {
        argv.insert(argv.begin(), {"/bin/sh", "-c", shellLine, "sh"});
    }
    const std::string errPath = dir + "/stderr.txt";
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ChildProcess p;
    p.redirectStderr(err);
    RunResult r;
    EXPECT_TRUE(p.start(argv, dir, null));
    close(null);
    close(err);
    r.out = p.readRest(60000);
    EXPECT_TRUE(p.wait(10000));
    r.code = p.exitCode();
    std::ifstream in(errPath);
    r.err.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return r;
}

std::vector<std::string> splitLines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        start = end == std::string::npos ? text.size() : end + 1;
    }
    return lines;
}

const char* const IsoTime = R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d)";

}  // namespace

TEST_F(Cycle, JsonLinesWithCountEndAndSayWhetherEveryExchangeSucceeded)
{
    startSim(std::string(Healthy) + "[tab]\naddress = 1.0.9\nstatus = 0x0221\nversion = a\"b\\\\c\td\n");
    writeFile("commands.txt", "status\nmeasure\nversion\n");
    writeFile("good.txt", "1.2.3\n255.0.7\n1.0.9\n");
    // As a service unit writes it: absolute paths, the device by its path.
    RunResult r = runCycle(dir_, port_, {"-c", path("commands.txt"), "-a", path("good.txt"), "-p",
                                         path(comName()), "--format=json", "-t", "5", "--count", "2"});
    EXPECT_EQ(r.code, 0) << r.err;
    // Standard output holds nothing but records; the banner went to stderr.
    EXPECT_NE(r.err.find("Initializing serial port " + path(comName()) + "\n"), std::string::npos) << r.err;
    const std::vector<std::string> lines = splitLines(r.out);
    ASSERT_EQ(lines.size(), 18u) << r.out;
    std::vector<nlohmann::json> records;
    for (const std::string& line : lines) {
        records.push_back(nlohmann::json::parse(line));  // throws on anything else
        EXPECT_TRUE(std::regex_match(records.back()["time"].get<std::string>(), std::regex(IsoTime)));
        EXPECT_TRUE(records.back()["ok"].get<bool>()) << line;
    }
    // Commands outer, addresses inner, two passes.
    EXPECT_EQ(records[0]["command"], "status");
    EXPECT_EQ(records[0]["address"], "1.2.3");
    EXPECT_EQ(records[0]["status"], 0xA4);
    EXPECT_EQ(records[0]["status_hex"], "0x00A4");
    ASSERT_EQ(records[0]["bits"].size(), 3u);  // bits 2, 5 and 7
    EXPECT_EQ(records[0]["bits"][1]["bit"], 5);
    EXPECT_EQ(records[0]["bits"][1]["text"], "Threshold is exceeded");
    EXPECT_EQ(records[1]["address"], "255.0.7");
    EXPECT_EQ(records[3]["command"], "measure");
    EXPECT_EQ(records[3]["value"], 12.5);
    EXPECT_EQ(records[3]["accuracy"], 7);
    EXPECT_EQ(records[3]["seconds"], 30);
    EXPECT_EQ(records[4]["value"], -0.0625);
    EXPECT_EQ(records[6]["version"], "Unit 2.4 rev B");
    EXPECT_EQ(records[8]["version"], "a\"b\\c\td");  // escaped in the line, whole here
    EXPECT_EQ(records[17]["command"], "version");
    EXPECT_EQ(records[17]["address"], "1.0.9");

    // A unit that does not answer: its records carry the error, and the
    // exit status says that not every exchange succeeded.
    writeFile("mixed.txt", "1.2.3\n1.0.77\n");
    writeFile("status.txt", "status\n");
    r = runCycle(dir_, port_, {"-t", "5", "-c", "status.txt", "-a", "mixed.txt", "--format=json",
                               "--count=1", "--quiet"});
    EXPECT_EQ(r.code, 6) << r.err;
    EXPECT_EQ(r.err.find("Initializing serial port"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("1 of 2 exchanges failed"), std::string::npos) << r.err;
    const std::vector<std::string> mixed = splitLines(r.out);
    ASSERT_EQ(mixed.size(), 2u) << r.out;
    const nlohmann::json failed = nlohmann::json::parse(mixed[1]);
    EXPECT_EQ(failed["address"], "1.0.77");
    EXPECT_FALSE(failed["ok"].get<bool>());
    EXPECT_EQ(failed["error_code"], 0xF00);
    EXPECT_EQ(failed["error"], "No answer");
    EXPECT_FALSE(failed.contains("status"));
}

TEST_F(Cycle, CsvAndIsoTimestampsAndTheClassicLinesOfOnePass)
{
    startSim(std::string(Healthy) + "[comma]\naddress = 1.0.9\nversion = 2,\"x\"\n");
    writeFile("commands.txt", "status\nversion\n");
    writeFile("addresses.txt", "1.2.3\n1.0.9\n");
    const std::vector<std::string> base = {"-t", "5", "-c", "commands.txt", "-a", "addresses.txt",
                                           "--count", "1"};
    auto with = [&base](std::vector<std::string> more) {
        more.insert(more.begin(), base.begin(), base.end());
        return more;
    };

    RunResult r = runCycle(dir_, port_, with({"--format=csv"}));
    EXPECT_EQ(r.code, 0) << r.err;
    std::vector<std::string> lines = splitLines(r.out);
    ASSERT_EQ(lines.size(), 5u) << r.out;
    EXPECT_EQ(lines[0], "time,address,command,ok,status,value,accuracy,seconds,version,error_code,error");
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(std::string(IsoTime) +
                                                      ",1\\.2\\.3,status,true,0x00A4,,,,,,")))
        << lines[1];
    EXPECT_TRUE(std::regex_match(lines[4], std::regex(std::string(IsoTime) +
                                                      ",1\\.0\\.9,version,true,,,,,\"2,\"\"x\"\"\",,")))
        << lines[4];

    r = runCycle(dir_, port_, with({"--timestamps=iso", "--quiet"}));
    EXPECT_EQ(r.code, 0) << r.err;
    lines = splitLines(r.out);
    ASSERT_EQ(lines.size(), 4u) << r.out;
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(std::string(IsoTime) + " 1\\.2\\.3\tStatus: 0x00A4")))
        << lines[0];

    // The classic form stays byte for byte: banner, HH:MM:SS, tab, text.
    r = runCycle(dir_, port_, base);
    EXPECT_EQ(r.code, 0) << r.err;
    lines = splitLines(r.out);
    ASSERT_EQ(lines.size(), 5u) << r.out;
    EXPECT_EQ(lines[0], "Initializing serial port " + std::to_string(port_));
    const std::regex classic(R"(\d\d:\d\d:\d\d (1\.2\.3|1\.0\.9)\t(.*))");
    const std::string results[] = {"Status: 0x00A4", "Status: 0x0000", "Version: Unit 2.4 rev B",
                                   "Version: 2,\"x\""};
    for (size_t i = 0; i < 4; ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[i + 1], m, classic)) << lines[i + 1];
        EXPECT_EQ(m[2], results[i]);
    }
}

// A report nobody can take ends the run with a message and exit status 7,
// whether the disk is full or the reader has gone.
TEST_F(Cycle, OutputThatFailsEndsTheRunWithItsOwnStatus)
{
    startSim(Healthy);
    writeFile("commands.txt", "status\n");
    writeFile("addresses.txt", "1.2.3\n");
    const std::vector<std::string> args = {"-t", "5", "-c", "commands.txt", "-a", "addresses.txt"};

    RunResult r = runCycle(dir_, port_, args, "exec \"$@\" >/dev/full");
    EXPECT_EQ(r.code, 7) << r.err;
    EXPECT_NE(r.err.find("cannot write the report to standard output (No space left on device)"),
              std::string::npos) << r.err;

    // The tool's own status comes back through a file.
    r = runCycle(dir_, port_, args, "{ \"$@\"; echo $? >status.txt; } | head -n 3 >/dev/null");
    std::ifstream status(path("status.txt"));
    int code = -1;
    status >> code;
    EXPECT_EQ(code, 7) << r.err;
    EXPECT_NE(r.err.find("cannot write the report to standard output (Broken pipe)"), std::string::npos)
        << r.err;
}

TEST_F(Cycle, LateForeignAndStrayRepliesNeverLandOnAnotherLine)
{
    using Lines = std::vector<std::pair<std::string, std::string>>;
    const std::pair<std::string, std::string> a1{"1.2.3", "Status: 0x0021"}, b1{"1.2.6", "Status: 0x0042"},
        aVersion{"1.2.3", "Version: Unit A"};
    struct Case {
        const char* what;
        const char* fault;  // 1.2.3's, for its status reads
        const char* commands;
        const char* addresses;
        Lines expected;
        bool paced = false;  // at 9600 baud, with the pause of a real run
    };
    const std::vector<Case> cases = {
        {"a late reply on a 9600-baud line", "delay 700 once", "status\n", "1.2.3\n1.2.6\n",
         {{"1.2.3", "No answer"}, b1, a1, b1, a1, b1}, true},
        {"a late reply, then another unit's exchange", "delay 700 once", "status\n", "1.2.3\n1.2.6\n",
         {{"1.2.3", "No answer"}, b1, a1, b1, a1, b1, a1, b1}},
        {"a late reply, then the same unit's next command", "delay 700 once", "status\nversion\n", "1.2.3\n",
         {{"1.2.3", "No answer"}, aVersion, a1, aVersion, a1, aVersion, a1, aVersion, a1}},
        {"a reply from a foreign address", "from 1.2.6 once", "status\n", "1.2.3\n1.2.6\n",
         {{"1.2.3", "No answer"}, b1, a1, b1}},
        {"stray bytes before a reply", "stray 5 once", "status\n", "1.2.3\n1.2.6\n", {a1, b1, a1, b1}},
        {"noise left on the line, the reply late", "stray 20 delay 700 once", "status\n", "1.2.3\n1.2.6\n",
         {{"1.2.3", "Package header structure corrupted"}, b1, a1, b1, a1, b1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        startSim(std::string("[a]\naddress = 1.2.3\nstatus = 0x0021\nversion = Unit A\nfault.24 = ") + c.fault +
                 "\n[b]\naddress = 1.2.6\nstatus = 0x0042\nversion = Unit B\n",
                 c.paced ? std::vector<std::string>{} : std::vector<std::string>{"--no-pacing"});
        auto p = startCycle(c.commands, c.addresses, c.paced ? 200 : 10);
        EXPECT_EQ(reports(*p, c.expected.size()), c.expected);
        pressKeyAndExpectExit(*p);
        EXPECT_TRUE(line_.stop());
    }
}

TEST_F(Cycle, ControlCharactersInAUnitTextStayInsideItsLine)
{
    // The simulator's INI reader turns \t, \r, \n and \\ into the characters.
    startSim("[a]\naddress = 1.2.3\nversion = Gas\\tunit\\r\\n2.4 \\\\ B\n");
    auto p = startCycle("version\n", "1.2.3\n");
    const std::vector<std::pair<std::string, std::string>> expected(
        2, {"1.2.3", "Version: Gas\\tunit\\r\\n2.4 \\ B"});
    EXPECT_EQ(reports(*p, 2), expected);
    pressKeyAndExpectExit(*p);

    // CSV writes them out the same way; JSON escapes them itself.
    writeFile("commands.txt", "version\n");
    writeFile("addresses.txt", "1.2.3\n");
    const std::vector<std::string> args = {"-t", "5", "-c", "commands.txt", "-a", "addresses.txt", "--count", "1"};
    std::vector<std::string> csv = args;
    csv.push_back("--format=csv");
    RunResult r = runCycle(dir_, port_, csv);
    std::vector<std::string> lines = splitLines(r.out);
    ASSERT_EQ(lines.size(), 2u) << r.out;
    EXPECT_NE(lines[1].find(",version,true,,,,,Gas\\tunit\\r\\n2.4 \\ B,,"), std::string::npos) << lines[1];
    std::vector<std::string> json = args;
    json.push_back("--format=json");
    r = runCycle(dir_, port_, json);
    lines = splitLines(r.out);
    ASSERT_EQ(lines.size(), 1u) << r.out;
    EXPECT_EQ(nlohmann::json::parse(lines[0])["version"], "Gas\tunit\r\n2.4 \\ B");
}
