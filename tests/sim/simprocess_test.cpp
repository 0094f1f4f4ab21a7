// The simulator as a process on its pseudo-terminal: what a host sees on
// the line, and how it starts and stops.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>

#include "sim/simunit.h"
#include "simfixture.h"
#include "simtesthelpers.h"

using namespace mirel_varno;
using namespace varno_sim;

namespace {

const char* const TwoUnits =
    "[a]\naddress = 1.2.3\nstatus = 0x00A4\n"
    "[b]\naddress = 1.2.4\nfault.24 = stop 10\n";

class SimProcess : public varno_test::SimLineTest {
protected:
    // Opens the line as a host would.
    int openLine()
    {
        const int fd = open(path(comName()).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        EXPECT_GE(fd, 0);
        termios t{};
        tcgetattr(fd, &t);
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
        return fd;
    }

    // Collects what arrives until `count` bytes or the time is up.
    static std::vector<uint8_t> collect(int fd, size_t count, int timeoutMs)
    {
        std::vector<uint8_t> out;
        const int64_t deadline = varno_test::monotonicMillis() + timeoutMs;
        while (out.size() < count) {
            const int64_t left = deadline - varno_test::monotonicMillis();
            pollfd p{fd, POLLIN, 0};
            if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) {
                break;
            }
            uint8_t b[256];
            const ssize_t n = read(fd, b, sizeof b);
            if (n <= 0) {
                break;
            }
            out.insert(out.end(), b, b + n);
        }
        return out;
    }

    // Starts the simulator so and reads a 141-byte reply paced at 9600 baud.
    void expectPacedReply(const std::vector<std::string>& options, bool eachByte);
};

}  // namespace

TEST_F(SimProcess, AnswersThroughNoiseAndStopsOnSignalsRemovingItsLink)
{
    for (int sig : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(sig);
        startSim(TwoUnits);
        struct stat st {};
        ASSERT_EQ(lstat(path(comName()).c_str(), &st), 0);
        EXPECT_TRUE(S_ISLNK(st.st_mode));

        const int fd = openLine();
        // Noise, a header announcing 65535 data bytes, then a real request.
        std::vector<uint8_t> bytes = {0xFF, 0x00, 0x13};
        const auto huge = makeHeader({1, 2, 3}, HostAddress, FunctionCode::ReadVariable, DataType::Word, 0xFFFF);
        bytes.insert(bytes.end(), huge.bytes, huge.bytes + FrameHeaderSize);
        const auto request = buildFrame({1, 2, 3}, HostAddress, FunctionCode::ReadVariable, 5, {24});
        bytes.insert(bytes.end(), request.begin(), request.end());
        ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        const auto reply = varno_test::parseReply(collect(fd, 21, 3000));
        EXPECT_TRUE(reply.headerValid && reply.dataValid);
        EXPECT_EQ(reply.value(), (std::vector<uint8_t>{0xA4, 0x00}));

        // The faulty unit stops after ten bytes and sends nothing more.
        const auto cut = buildFrame({1, 2, 4}, HostAddress, FunctionCode::ReadVariable, 5, {24});
        ASSERT_EQ(write(fd, cut.data(), cut.size()), static_cast<ssize_t>(cut.size()));
        EXPECT_EQ(collect(fd, 21, 500).size(), 10u);
        close(fd);

        sim_->signal(sig);
        ASSERT_TRUE(sim_->wait(5000));
        EXPECT_EQ(sim_->exitCode(), 0);
        EXPECT_NE(lstat(path(comName()).c_str(), &st), 0) << "link left behind";
    }
}

TEST_F(SimProcess, PacedRepliesArriveAtTheLineSpeedWithoutLongGaps)
{
    // In the default bursts of about 2 ms, and with --burst 0 a byte at a
    // time, as a UART without a receive FIFO hands them over.
    for (const bool eachByte : {false, true}) {
        SCOPED_TRACE(eachByte ? "--burst 0" : "default bursts");
        std::vector<std::string> options = {"--baud", "9600"};
        if (eachByte) {
            options.insert(options.end(), {"--burst", "0"});
        }
        expectPacedReply(options, eachByte);
        ASSERT_TRUE(line_.stop());
    }
}

void SimProcess::expectPacedReply(const std::vector<std::string>& options, bool eachByte)
{
    startSim("[a]\naddress = 1.2.3\nversion = " + std::string(60, 'v') + "\n", options);
    const int fd = openLine();
    const auto request = buildFrame({1, 2, 3}, HostAddress, FunctionCode::ReadVariable, 29, {30});
    const int64_t sent = varno_test::monotonicMillis();
    ASSERT_EQ(write(fd, request.data(), request.size()), static_cast<ssize_t>(request.size()));

    // 14 + 1 + 122 + 4 bytes; each arrival no more than 6 ms after the last.
    const size_t total = FrameHeaderSize + 1 + 122 + 4;
    std::vector<uint8_t> got;
    std::vector<int64_t> gaps;
    int64_t last = 0;
    int64_t first = 0;
    while (got.size() < total) {
        const auto part = collect(fd, 1, 2000);
        if (part.empty()) {
            break;
        }
        const int64_t now = varno_test::monotonicMillis();
        if (got.empty()) {
            first = now;
        } else {
            gaps.push_back(now - last);
        }
        last = now;
        got.insert(got.end(), part.begin(), part.end());
    }
    close(fd);
    ASSERT_EQ(got.size(), total);
    EXPECT_TRUE(varno_test::parseReply(got).dataValid);
    // At 9600 baud: about 1.04 ms a byte. The reply waits for the request's
    // own 15 bytes first. Bands are wide: only gross errors fail.
    const int64_t span = last - first;
    EXPECT_GE(first - sent, 10);
    EXPECT_GE(span, 100);
    EXPECT_LE(span, 600);
    // The host takes a 6 ms pause for the end of a reply. A loaded machine
    // can hold up either process now and then, so the gaps are judged as a
    // whole: nearly all within the 6 ms, none gross (a sender that paused
    // between bursts of its own making fails both).
    ASSERT_FALSE(gaps.empty());
    const auto longer = std::count_if(gaps.begin(), gaps.end(), [](int64_t g) { return g > 6; });
    EXPECT_LE(longer * 10, static_cast<long>(gaps.size())) << longer << " of " << gaps.size();
    EXPECT_LE(*std::max_element(gaps.begin(), gaps.end()), 100);
    // Bursts of 2 ms carry about two bytes each; single bytes make about
    // one arrival a byte (a held-up reader sees a few together).
    const size_t arrivals = gaps.size() + 1;
    if (eachByte) {
        EXPECT_GE(arrivals * 4, total * 3) << arrivals << " arrivals for " << total << " bytes";
    } else {
        EXPECT_LE(arrivals * 20, total * 13) << arrivals << " arrivals for " << total << " bytes";
    }
}

TEST_F(SimProcess, RefusesBadConfigurationsAndNeverReplacesAFile)
{
    varno_test::ChildProcess bad;
    writeFile("bad.ini", "[u]\naddress = 1.2.3\nstatsu = 3\n");
    ASSERT_TRUE(bad.start({VARNO_UNITSIM_PATH, "-p", "5", "bad.ini"}, dir_, -1, true));
    EXPECT_NE(bad.readRest(5000).find("[u] statsu: unknown key"), std::string::npos);
    ASSERT_TRUE(bad.wait(5000));
    EXPECT_EQ(bad.exitCode(), 1);

    writeFile("COM6", "not a link");
    writeFile("ok.ini", "[u]\naddress = 1.2.3\n");
    varno_test::ChildProcess clash;
    ASSERT_TRUE(clash.start({VARNO_UNITSIM_PATH, "-p", "6", "ok.ini"}, dir_, -1, true));
    EXPECT_NE(clash.readRest(5000).find("not a link"), std::string::npos);
    ASSERT_TRUE(clash.wait(5000));
    EXPECT_EQ(clash.exitCode(), 1);
    for (const char* burst : {"-1", "5001", "2ms", ""}) {
        varno_test::ChildProcess wrong;
        ASSERT_TRUE(wrong.start({VARNO_UNITSIM_PATH, "-p", "7", "--burst", burst, "ok.ini"}, dir_, -1, true));
        EXPECT_NE(wrong.readRest(5000).find("bad burst"), std::string::npos) << burst;
        ASSERT_TRUE(wrong.wait(5000));
        EXPECT_EQ(wrong.exitCode(), 1) << burst;
    }
}
