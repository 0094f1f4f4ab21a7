// varno_cycle on network lines against misbehaving device servers on the
// loopback: report lines keep their cadence and a stop ends the tool
// whatever the server sends, and a server that cannot open its port is
// heard in the error and never in a report line.

#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <string>
#include <vector>

#include "support/childprocess.h"
#include "support/lineserver.h"
#include "support/process.h"

using varno_test::ChildProcess;
using varno_test::LineServer;
using varno_test::monotonicMillis;
using varno_test::TempDir;
using Behaviour = LineServer::Behaviour;

TEST(CycleNetworkLine, MisbehavingServers)
{
    const struct {
        Behaviour behaviour;
        bool telnet;
        bool opens;
        int64_t watchMs;  // how long the tool polls before it is stopped
        int connections;  // at most; an endless subnegotiation costs each one
    } cases[] = {
        {Behaviour::TelnetNoControlAnswers, true, true, 1500, 1},
        {Behaviour::TelnetNopFlood, true, true, 2000, 1},
        {Behaviour::TelnetEndlessSubnegotiation, true, true, 2000, 8},
        {Behaviour::WorkThenComplain, false, true, 6000, 8},
        {Behaviour::ComplainAndHangUp, false, false, 0, 1},
        {Behaviour::TelnetComplainAndHangUp, true, false, 0, 1},
    };
    TempDir dir;
    dir.write("addresses.txt", "1.2.3\n");
    dir.write("commands.txt", "status\n");
    for (const auto& c : cases) {
        LineServer server(c.behaviour);
        ASSERT_TRUE(server.ok());
        const std::string name = std::string(c.telnet ? "rfc2217" : "tcp") +
                                 "://127.0.0.1:" + std::to_string(server.port());
        SCOPED_TRACE(name + " against behaviour " + std::to_string(static_cast<int>(c.behaviour)));
        const std::vector<std::string> argv = {VARNO_CYCLE_PATH, "-p", name, "-t", "20",
                                               "-c", "commands.txt", "-a", "addresses.txt"};
        if (!c.opens) {
            const varno_test::ProcessResult r = varno_test::runProcess(argv, dir.path(), 10000);
            EXPECT_EQ(r.exitCode, 2);
            EXPECT_EQ(r.out, "Initializing serial port " + name + "\nError opening port\n");
            EXPECT_NE(r.err.find("ser2net says: Device open failure: No such file or directory"),
                      std::string::npos)
                << r.err;
            EXPECT_EQ(server.connections(), 1);
            continue;
        }
        ChildProcess cycle;
        const int64_t start = monotonicMillis();
        ASSERT_TRUE(cycle.start(argv, dir.path(), -1, true));
        std::string line;
        ASSERT_TRUE(cycle.readLine(line, 3000));
        EXPECT_EQ(line, "Initializing serial port " + name);
        // A silent line answers every exchange with "No answer" after about
        // 0.55 s; the first comes once the open is done.
        int64_t last = start;
        int reports = 0;
        while (monotonicMillis() - start < c.watchMs) {
            ASSERT_TRUE(cycle.readLine(line, 1500)) << "no report line for 1.5 s";
            const int64_t now = monotonicMillis();
            EXPECT_LT(now - last, reports == 0 ? 1500 : 1200) << "report line " << reports;
            last = now;
            ++reports;
            EXPECT_NE(line.find("1.2.3\tNo answer"), std::string::npos) << line;
        }
        EXPECT_GE(reports, 2);
        const int64_t stopped = monotonicMillis();
        cycle.signal(SIGTERM);
        EXPECT_TRUE(cycle.wait(5000));
        EXPECT_LT(monotonicMillis() - stopped, 1000);
        EXPECT_EQ(cycle.exitCode(), 0);
        EXPECT_LE(server.connections(), c.connections);
        EXPECT_EQ(cycle.readRest(1000).find("Device open failure"), std::string::npos);
    }
}
