// SerialPort against real pseudo-terminals: the test plays the device on
// the master side. Durations are checked against generous bands derived
// from the port's time-outs; bench/serialbench measures them precisely.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "base/error.h"
#include "serial/serialport.h"
#include "support/pseudoterminal.h"

using namespace mirel_varno;
using varno_test::PseudoTerminal;
using Clock = std::chrono::steady_clock;

namespace {

// Exposes the last-error setter, so that "unchanged" can be told apart.
class TestPort : public SerialPort {
public:
    using SerialPort::SerialPort;
    using SerialPort::setLastError;
};

bool openPort(SerialPort& port, const std::string& name)
{
    return port.open(name.c_str(), 9600, 'N', 8, OneStopBit);
}

// The slave's line settings, as the master side sees them.
termios lineOf(const PseudoTerminal& pty)
{
    termios tio{};
    EXPECT_EQ(tcgetattr(pty.master(), &tio), 0);
    return tio;
}

long long msSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

void sleepFor(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Makes the master side vanish, as an unplugged adapter does, while
// keeping its descriptor number valid for the helper's destructor.
void hangUp(const PseudoTerminal& pty)
{
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    ASSERT_GE(null, 0);
    ASSERT_GE(dup2(null, pty.master()), 0);
    ::close(null);
}

}  // namespace

TEST(SerialPort, DefaultsBeforeAnyOpen)
{
    SerialPort port;
    EXPECT_FALSE(port.isOpen());
    EXPECT_EQ(port.lastError(), NoError);
    EXPECT_EQ(port.name(), nullptr);
    EXPECT_EQ(port.flowControl(), FlowNone);
    EXPECT_EQ(port.parity(), 'N');
    EXPECT_EQ(port.dataBits(), 8);
    EXPECT_EQ(port.stopBits(), OneStopBit);
    EXPECT_EQ(port.baudRate(), 38400);
    PortTimeouts timeouts;
    EXPECT_FALSE(port.getTimeouts(timeouts));
    EXPECT_FALSE(port.clearErrors());
}

TEST(SerialPort, MissingDeviceFailsOpenAndWrite)
{
    TestPort port;
    EXPECT_FALSE(port.open("/dev/varno-no-such-tty", 9600, 'N', 8, OneStopBit));
    EXPECT_FALSE(port.isOpen());
    EXPECT_EQ(port.lastError(), SerialPortError);
    EXPECT_STREQ(port.name(), "/dev/varno-no-such-tty");

    port.setLastError(NoError);
    const uint8_t byte = 0x55;
    EXPECT_FALSE(port.write(&byte, 1));
    EXPECT_EQ(port.lastError(), SerialPortError);

    // The settings constructor leaves an object that tells it is closed.
    PortSettings settings;
    TestPort constructed("COM99999", settings);
    EXPECT_FALSE(constructed.isOpen());
    EXPECT_EQ(constructed.lastError(), SerialPortError);
}

TEST(SerialPort, NotATerminalIsNoDevice)
{
    TestPort port;
    EXPECT_FALSE(openPort(port, "/dev/null"));
    EXPECT_EQ(port.lastError(), SerialPortError);
}

TEST(SerialPort, UnsupportedBaudRateFailsOpen)
{
    PseudoTerminal pty;
    for (int32_t rate : {0, -9600, 12345}) {
        TestPort port;
        EXPECT_FALSE(port.open(pty.slavePath().c_str(), rate, 'N', 8, OneStopBit)) << rate;
        EXPECT_EQ(port.lastError(), SerialPortError) << rate;
    }
}

TEST(SerialPort, OpenConfiguresTheLine)
{
    PseudoTerminal pty;
    TestPort port;
    ASSERT_TRUE(openPort(port, pty.slavePath()));
    EXPECT_TRUE(port.isOpen());
    EXPECT_EQ(port.lastError(), NoError);
    EXPECT_STREQ(port.name(), pty.slavePath().c_str());
    // The rate reaches the line but not the field.
    EXPECT_EQ(port.baudRate(), 38400);

    const termios tio = lineOf(pty);
    EXPECT_EQ(cfgetospeed(&tio), B9600);
    EXPECT_EQ(cfgetispeed(&tio), B9600);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | IXON | IXOFF | INPCK), 0u);
    EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), tcflag_t{CLOCAL | CREAD});
    EXPECT_EQ(tio.c_cflag & (CRTSCTS | CSTOPB), 0u);
    EXPECT_EQ(tio.c_cc[VMIN], 1);
    EXPECT_EQ(tio.c_cc[VTIME], 0);

    PortTimeouts timeouts;
    ASSERT_TRUE(port.getTimeouts(timeouts));
    EXPECT_EQ(timeouts.readInterval, 6u);
    EXPECT_EQ(timeouts.readTotalPerByte, 1u);
    EXPECT_EQ(timeouts.readTotalConstant, 500u);
    EXPECT_EQ(timeouts.writeTotalPerByte, 25u);
    EXPECT_EQ(timeouts.writeTotalConstant, 1u);
}

TEST(SerialPort, SettingsConstructorCopiesTheBlockAndOpens)
{
    PseudoTerminal pty;
    const PortSettings settings{FlowSoftware, 'E', 7, TwoStopBits, 19200, 5, 6};
    TestPort port(pty.slavePath().c_str(), settings);
    ASSERT_TRUE(port.isOpen());
    EXPECT_EQ(port.flowControl(), FlowSoftware);
    EXPECT_EQ(port.parity(), 'E');
    EXPECT_EQ(port.dataBits(), 7);
    EXPECT_EQ(port.stopBits(), TwoStopBits);
    EXPECT_EQ(port.baudRate(), 19200);

    const termios tio = lineOf(pty);
    EXPECT_EQ(cfgetospeed(&tio), B19200);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | INPCK), tcflag_t{IXON | IXOFF | INPCK});
    EXPECT_NE(tio.c_cflag & CSTOPB, 0u);
}

TEST(SerialPort, OpensALinkInTheWorkingDirectoryByItsComName)
{
    PseudoTerminal pty;
    pty.linkAs("COM251");
    TestPort port;
    ASSERT_TRUE(openPort(port, "COM251"));
    const uint8_t bytes[] = {1, 2, 3};
    ASSERT_TRUE(port.write(bytes, sizeof bytes));
    EXPECT_EQ(pty.read(3, 1000), std::vector<uint8_t>({1, 2, 3}));
}

TEST(SerialPort, ReopenUnderANewNameReleasesTheOldDevice)
{
    PseudoTerminal first;
    PseudoTerminal second;
    TestPort port;
    ASSERT_TRUE(openPort(port, first.slavePath()));
    ASSERT_TRUE(openPort(port, second.slavePath()));
    EXPECT_STREQ(port.name(), second.slavePath().c_str());

    const uint8_t byte = 0xA5;
    ASSERT_TRUE(port.write(&byte, 1));
    EXPECT_EQ(second.read(1, 1000), std::vector<uint8_t>{0xA5});
    EXPECT_TRUE(first.read(1, 50).empty());

    TestPort other;
    EXPECT_TRUE(openPort(other, first.slavePath()));

    // Opening again by the port's own stored name (as after an unplug)
    // must not read the copy that the open replaces.
    ASSERT_TRUE(port.open(port.name(), 9600, 'N', 8, OneStopBit));
    EXPECT_STREQ(port.name(), second.slavePath().c_str());
    port.setName(port.name());
    EXPECT_STREQ(port.name(), second.slavePath().c_str());
}

TEST(SerialPort, ADeviceInUseCannotBeOpenedAgain)
{
    PseudoTerminal pty;
    TestPort port;
    ASSERT_TRUE(openPort(port, pty.slavePath()));

    TestPort second;
    EXPECT_FALSE(openPort(second, pty.slavePath()));
    EXPECT_EQ(second.lastError(), SerialPortError);

    // Another process fares no better, whatever its privileges.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        SerialPort other;
        _exit(openPort(other, pty.slavePath()) ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the second process opened the port";

    port.close();
    EXPECT_TRUE(openPort(second, pty.slavePath()));
}

TEST(SerialPort, TheHoldOnThePortDiesWithItsProcess)
{
    // The pseudo-terminal helper keeps the slave open throughout, as a
    // bridge or the simulator holds the line.
    PseudoTerminal pty;
    // An opener without privileges, so that nothing it is refused could be
    // waved through for root.
    ASSERT_EQ(chmod(pty.slavePath().c_str(), 0666), 0);
    const auto opensAsAnotherUser = [&pty] {
        const pid_t child = fork();
        if (child == 0) {
            if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
                _exit(2);
            }
            SerialPort other;
            _exit(openPort(other, pty.slavePath()) ? 0 : 1);
        }
        int status = 0;
        waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };

    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t holder = fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        SerialPort port;
        const char opened = openPort(port, pty.slavePath()) ? 'y' : 'n';
        (void)!write(ready[1], &opened, 1);
        pause();  // until killed: no destructor runs
        _exit(0);
    }
    char opened = 0;
    ASSERT_EQ(read(ready[0], &opened, 1), 1);
    close(ready[0]);
    close(ready[1]);
    ASSERT_EQ(opened, 'y');
    EXPECT_EQ(opensAsAnotherUser(), 1) << "the port was not held";

    kill(holder, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(holder, &status, 0), holder);
    EXPECT_EQ(opensAsAnotherUser(), 0) << "the hold outlived its process";
}

TEST(SerialPort, DescriptorIsNotInheritedByPrograms)
{
    PseudoTerminal pty;
    const auto descriptorsOnSlave = [&pty] {
        std::vector<int> found;
        for (int fd = 0; fd < 1024; ++fd) {
            char target[256] = {};
            const std::string link = "/proc/self/fd/" + std::to_string(fd);
            const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
            if (n > 0 && pty.slavePath() == target) {
                found.push_back(fd);
            }
        }
        return found;
    };
    const std::vector<int> before = descriptorsOnSlave();
    TestPort port;
    ASSERT_TRUE(openPort(port, pty.slavePath()));
    const std::vector<int> after = descriptorsOnSlave();
    ASSERT_EQ(after.size(), before.size() + 1);
    for (int fd : after) {
        EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0) << fd;
    }
}

TEST(SerialPort, StopAndDataBitCombinationsAreRefused)
{
    TestPort port;
    port.setDataBits(5);
    port.setStopBits(TwoStopBits);  // two stop bits with 5 data bits
    EXPECT_EQ(port.stopBits(), OneStopBit);
    port.setStopBits(OneAndHalfStopBits);
    EXPECT_EQ(port.stopBits(), OneAndHalfStopBits);
    port.setDataBits(6);  // anything but 5 with one and a half
    EXPECT_EQ(port.dataBits(), 5);

    port.setDataBits(5);
    port.setStopBits(OneStopBit);
    port.setDataBits(8);
    port.setStopBits(TwoStopBits);
    EXPECT_EQ(port.stopBits(), TwoStopBits);
    port.setDataBits(5);  // 5 data bits with two stop bits
    EXPECT_EQ(port.dataBits(), 8);
    port.setStopBits(OneAndHalfStopBits);  // one and a half with 8 data bits
    EXPECT_EQ(port.stopBits(), TwoStopBits);

    // On an open port a refused call leaves the line alone too.
    PseudoTerminal pty;
    ASSERT_TRUE(openPort(port, pty.slavePath()));
    EXPECT_NE(lineOf(pty).c_cflag & CSTOPB, 0u);
    port.setStopBits(OneStopBit);
    EXPECT_EQ(lineOf(pty).c_cflag & CSTOPB, 0u);
    port.setDataBits(5);
    port.setStopBits(OneAndHalfStopBits);  // 1.5 is two stop bits in termios
    EXPECT_NE(lineOf(pty).c_cflag & CSTOPB, 0u);
    port.setDataBits(8);
    EXPECT_EQ(port.dataBits(), 5);
}

TEST(SerialPort, UnknownParityAndFlowCodesAreStoredButLeaveTheLine)
{
    PseudoTerminal pty;
    TestPort port;
    ASSERT_TRUE(openPort(port, pty.slavePath()));

    port.setParity('E');
    EXPECT_NE(lineOf(pty).c_iflag & INPCK, 0u);
    port.setParity('O');
    EXPECT_EQ(port.parity(), 79);
    EXPECT_NE(lineOf(pty).c_iflag & INPCK, 0u);
    port.setParity('N');
    EXPECT_EQ(lineOf(pty).c_iflag & INPCK, 0u);

    port.setFlowControl(FlowSoftware);
    EXPECT_EQ(lineOf(pty).c_iflag & (IXON | IXOFF), tcflag_t{IXON | IXOFF});
    port.setFlowControl(3);
    EXPECT_EQ(port.flowControl(), 3);
    EXPECT_EQ(lineOf(pty).c_iflag & (IXON | IXOFF), tcflag_t{IXON | IXOFF});
    port.setFlowControl(FlowHardware);
    EXPECT_EQ(lineOf(pty).c_iflag & (IXON | IXOFF), 0u);
    EXPECT_NE(lineOf(pty).c_cflag & CRTSCTS, 0u);
    port.setFlowControl(FlowNone);
    EXPECT_EQ(lineOf(pty).c_cflag & CRTSCTS, 0u);
}

TEST(SerialPort, StoredSettingsSurviveCloseAndReturnAtOpen)
{
    PseudoTerminal pty;
    TestPort port;
    ASSERT_TRUE(openPort(port, pty.slavePath()));
    port.setFlowControl(FlowHardware);
    port.setParity('F');
    port.setDataBits(7);
    port.close();
    EXPECT_EQ(port.flowControl(), FlowHardware);
    EXPECT_EQ(port.parity(), 'F');
    EXPECT_EQ(port.dataBits(), 7);

    // Changed while closed: only stored, applied by the next open.
    port.setParity('E');
    ASSERT_TRUE(openPort(port, pty.slavePath()));
    const termios tio = lineOf(pty);
    EXPECT_NE(tio.c_cflag & CRTSCTS, 0u);
    EXPECT_NE(tio.c_iflag & INPCK, 0u);
    EXPECT_EQ(port.parity(), 'E');
}

TEST(SerialPort, CloseTwiceDoesNothingTheSecondTime)
{
    PseudoTerminal pty;
    TestPort port;
    ASSERT_TRUE(openPort(port, pty.slavePath()));
    port.close();
    EXPECT_FALSE(port.isOpen());
    port.close();
    EXPECT_FALSE(port.isOpen());
    EXPECT_EQ(port.lastError(), NoError);
    port.flush();  // closed: nothing to wait for
    const uint8_t byte = 0;
    EXPECT_FALSE(port.write(&byte, 1));
    EXPECT_EQ(port.lastError(), SerialPortError);
}

TEST(SerialPort, BytesTravelBothWays)
{
    PseudoTerminal pty;
    TestPort port;
    ASSERT_TRUE(openPort(port, pty.slavePath()));

    // Every byte value, unaltered by the line discipline.
    std::vector<uint8_t> all(256);
    for (size_t i = 0; i < all.size(); ++i) {
        all[i] = static_cast<uint8_t>(i);
    }
    port.setLastError(NoAnswer);
    ASSERT_TRUE(port.write(all.data(), static_cast<uint32_t>(all.size())));
    EXPECT_EQ(port.lastError(), NoError);
    port.flush();
    EXPECT_EQ(pty.read(all.size(), 1000), all);

    pty.write(all);
    std::vector<uint8_t> got(all.size());
    const auto start = Clock::now();
    EXPECT_EQ(port.read(got.data(), static_cast<uint32_t>(got.size())), got.size());
    EXPECT_LT(msSince(start), 20 + 400);  // well short of the 514 ms limit
    EXPECT_EQ(got, all);
    EXPECT_EQ(port.lastError(), NoError);
}

TEST(SerialPort, ClearErrorsKeepsPendingInput)
{
    PseudoTerminal pty;
    TestPort port;
    ASSERT_TRUE(openPort(port, pty.slavePath()));
    pty.write({7, 8, 9});
    sleepFor(20);
    EXPECT_TRUE(port.clearErrors());
    uint8_t got[3] = {};
    ASSERT_EQ(port.read(got, 3), 3u);
    EXPECT_EQ(std::vector<uint8_t>(got, got + 3), std::vector<uint8_t>({7, 8, 9}));
}

TEST(SerialPort, ShortReplyEndsAtTheInterByteGap)
{
    PseudoTerminal pty;
    TestPort port;
    ASSERT_TRUE(openPort(port, pty.slavePath()));
    pty.write({0, 1, 2, 3, 4, 5, 6, 7, 8, 9});
    port.setLastError(WriteError);

    uint8_t got[14] = {};
    const auto start = Clock::now();
    EXPECT_EQ(port.read(got, sizeof got), 10u);
    const long long elapsed = msSince(start);
    // 20 ms pause, then the gap of 6 ms after the tenth byte, long before
    // the total limit of 514 ms.
    EXPECT_GE(elapsed, 20 + 6);
    EXPECT_LT(elapsed, 450);
    EXPECT_EQ(port.lastError(), WriteError);
    EXPECT_EQ(got[9], 9);
}

TEST(SerialPort, GapCountsOnlyFromTheFirstByte)
{
    PseudoTerminal pty;
    TestPort port;
    ASSERT_TRUE(openPort(port, pty.slavePath()));
    std::thread unit([&pty] {
        sleepFor(150);
        pty.write({1, 2, 3, 4});
        sleepFor(150);
        pty.write({5, 6, 7, 8, 9, 10, 11, 12, 13, 14});
    });
    uint8_t got[14] = {};
    const uint32_t first = port.read(got, sizeof got);
    unit.join();
    EXPECT_EQ(first, 4u);  // a silence before the first byte is no gap
    EXPECT_EQ(port.read(got, sizeof got), 10u);
}

TEST(SerialPort, SilentLineEndsAtTheTotalLimit)
{
    PseudoTerminal pty;
    TestPort port;
    ASSERT_TRUE(openPort(port, pty.slavePath()));
    uint8_t got[14] = {};
    const auto start = Clock::now();
    EXPECT_EQ(port.read(got, sizeof got), 0u);
    const long long elapsed = msSince(start);
    // 20 ms pause and 14 + 500 ms total limit, in a generous band.
    EXPECT_GE(elapsed, 500);
    EXPECT_LT(elapsed, 1500);
    EXPECT_EQ(port.lastError(), NoAnswer);
    EXPECT_FALSE(port.deviceLost());  // silence is not a lost device
}

TEST(SerialPort, AReadableStopDescriptorEndsTheWaits)
{
    PseudoTerminal pty;
    TestPort port;
    ASSERT_TRUE(openPort(port, pty.slavePath()));
    int stop[2];
    ASSERT_EQ(pipe(stop), 0);
    port.setStopDescriptor(stop[0]);
    EXPECT_FALSE(port.stopRequested());

    // A silent line would hold this read for 534 ms; the stop comes after 100.
    std::thread stopper([&stop] {
        sleepFor(100);
        (void)!::write(stop[1], "s", 1);
    });
    uint8_t got[14] = {};
    auto start = Clock::now();
    EXPECT_EQ(port.read(got, sizeof got), 0u);
    long long elapsed = msSince(start);
    stopper.join();
    EXPECT_GE(elapsed, 90);
    EXPECT_LT(elapsed, 480);
    EXPECT_TRUE(port.stopRequested());

    // Once stopped, a read takes what is there without the pause: twenty
    // reads take less than the 400 ms that their pauses alone would.
    pty.write({4, 5});
    sleepFor(20);
    start = Clock::now();
    EXPECT_EQ(port.read(got, sizeof got), 2u);
    EXPECT_EQ(got[1], 5);
    for (int i = 0; i < 19; ++i) {
        EXPECT_EQ(port.read(got, sizeof got), 0u);
    }
    EXPECT_LT(msSince(start), 380);

    // Removed, the port waits as before.
    port.setStopDescriptor(-1);
    EXPECT_FALSE(port.stopRequested());
    start = Clock::now();
    EXPECT_EQ(port.read(got, 1), 0u);
    EXPECT_GE(msSince(start), 500);
    close(stop[0]);
    close(stop[1]);
}

TEST(SerialPort, ReadOnAClosedPortFindsNothing)
{
    TestPort port;
    uint8_t got[4] = {};
    EXPECT_EQ(port.read(got, sizeof got), 0u);
    EXPECT_EQ(port.lastError(), NoAnswer);
}

TEST(SerialPort, VanishedDeviceEndsReadsAndFailsWrites)
{
    PseudoTerminal pty;
    TestPort port;
    ASSERT_TRUE(openPort(port, pty.slavePath()));
    EXPECT_FALSE(port.deviceLost());

    std::thread unplug([&pty] {
        sleepFor(100);
        hangUp(pty);
    });
    uint8_t got[14] = {};
    const auto start = Clock::now();
    EXPECT_EQ(port.read(got, sizeof got), 0u);
    const long long elapsed = msSince(start);
    unplug.join();
    EXPECT_LT(elapsed, 400) << "the read waited for its time-out";
    EXPECT_EQ(port.lastError(), NoAnswer);

    // Later reads come back at once after their pause.
    const auto again = Clock::now();
    EXPECT_EQ(port.read(got, sizeof got), 0u);
    EXPECT_LT(msSince(again), 20 + 400);  // not the 514 ms time-out

    const uint8_t bytes[] = {1, 2, 3};
    EXPECT_FALSE(port.write(bytes, sizeof bytes));
    EXPECT_EQ(port.lastError(), WriteError);
    EXPECT_TRUE(port.deviceLost());
    port.clearErrors();
    port.flush();
    port.close();
    EXPECT_FALSE(port.isOpen());

    // The device is back (here: another one); the same object opens it.
    PseudoTerminal replugged;
    EXPECT_TRUE(openPort(port, replugged.slavePath()));
    EXPECT_FALSE(port.deviceLost());
}
