// The Linux serial layer's pure parts: device naming and the mapping of
// line settings onto termios, including what pseudo-terminals cannot show
// (parity, data bits).

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "serial/serialplatformlinux.h"

using namespace mirel_varno;

namespace {

// A plain file of the given name in the working directory while it lives.
class EntryInWorkingDirectory {
public:
    explicit EntryInWorkingDirectory(std::string name) : name_(std::move(name))
    {
        const int fd = ::open(name_.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0600);
        EXPECT_GE(fd, 0);
        ::close(fd);
    }
    ~EntryInWorkingDirectory() { unlink(name_.c_str()); }

private:
    std::string name_;
};

termios rawTermios()
{
    termios tio{};
    cfmakeraw(&tio);
    cfsetispeed(&tio, B9600);
    cfsetospeed(&tio, B9600);
    return tio;
}

}  // namespace

TEST(SerialPlatformLinux, DevicePathFromTheModeText)
{
    const struct {
        const char* mode;
        const char* path;
    } rows[] = {
        {"COM1: baud=9600 parity=N data=8 stop=1", "/dev/ttyS0"},
        {"COM3: baud=9600 parity=N data=8 stop=1", "/dev/ttyS2"},
        {"com12: baud=9600", "/dev/ttyS11"},
        {"COM0: baud=9600", "COM0"},
        {"COM3x: baud=9600", "COM3x"},
        {"COM: baud=9600", "COM"},
        {"COM1234567890: baud=9600", "COM1234567890"},
        {"/dev/ttyUSB0: baud=115200 parity=N data=8 stop=1", "/dev/ttyUSB0"},
        {"ttyUSB0", "ttyUSB0"},
        {": baud=9600", ""},
        {"/dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0: baud=9600 parity=N data=8 stop=1",
         "/dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0"},
        {"COM2:", "/dev/ttyS1"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(devicePath(row.mode), row.path) << row.mode;
    }
}

TEST(SerialPlatformLinux, AnEntryInTheWorkingDirectoryWins)
{
    EntryInWorkingDirectory entry("COM250");
    EXPECT_EQ(devicePath("COM250: baud=9600"), "COM250");
    EXPECT_EQ(devicePath("COM249: baud=9600"), "/dev/ttyS248");
}

TEST(SerialPlatformLinux, BaudRatesFollowTermios)
{
    speed_t speed = B0;
    ASSERT_TRUE(speedFor(9600, speed));
    EXPECT_EQ(speed, B9600);
    ASSERT_TRUE(speedFor(115200, speed));
    EXPECT_EQ(speed, B115200);
    EXPECT_FALSE(speedFor(0, speed));
    EXPECT_FALSE(speedFor(12345, speed));
    EXPECT_TRUE(SerialDevice::supportsBaudRate(38400));
    EXPECT_FALSE(SerialDevice::supportsBaudRate(-38400));

    // An unsupported rate changes nothing at all.
    LineSettings settings;
    settings.baudRate = 12345;
    settings.parity = LineParity::Even;
    termios tio = rawTermios();
    const termios before = tio;
    EXPECT_FALSE(applyLineSettings(settings, tio));
    EXPECT_EQ(std::memcmp(&tio, &before, sizeof tio), 0);
}

TEST(SerialPlatformLinux, ParityMapsOntoControlFlags)
{
    const struct {
        LineParity parity;
        tcflag_t flags;
    } rows[] = {
        {LineParity::None, 0},
        {LineParity::Even, PARENB},
        {LineParity::Odd, PARENB | PARODD},
        {LineParity::Mark, PARENB | PARODD | CMSPAR},
        {LineParity::Space, PARENB | CMSPAR},
    };
    for (const auto& row : rows) {
        LineSettings settings;
        settings.parity = row.parity;
        settings.parityCheck = row.parity != LineParity::None;
        termios tio = rawTermios();
        tio.c_cflag |= PARENB | PARODD | CMSPAR;  // whatever was there before
        ASSERT_TRUE(applyLineSettings(settings, tio));
        EXPECT_EQ(tio.c_cflag & (PARENB | PARODD | CMSPAR), row.flags);
        EXPECT_EQ((tio.c_iflag & INPCK) != 0, settings.parityCheck);

        LineSettings back;
        lineSettingsFrom(tio, back);
        EXPECT_EQ(back.parity, row.parity);
        EXPECT_EQ(back.parityCheck, settings.parityCheck);
    }
}

TEST(SerialPlatformLinux, DataAndStopBitsMapOntoControlFlags)
{
    const struct {
        uint8_t byteSize;
        LineStopBits stopBits;
        tcflag_t size;
        bool cstopb;
    } rows[] = {
        {5, LineStopBits::One, CS5, false},
        {5, LineStopBits::OneAndHalf, CS5, true},  // the UART's 1.5 at 5 bits
        {6, LineStopBits::Two, CS6, true},
        {7, LineStopBits::One, CS7, false},
        {8, LineStopBits::Two, CS8, true},
    };
    for (const auto& row : rows) {
        LineSettings settings;
        settings.byteSize = row.byteSize;
        settings.stopBits = row.stopBits;
        termios tio = rawTermios();
        ASSERT_TRUE(applyLineSettings(settings, tio));
        EXPECT_EQ(tio.c_cflag & CSIZE, row.size);
        EXPECT_EQ((tio.c_cflag & CSTOPB) != 0, row.cstopb);

        LineSettings back;
        lineSettingsFrom(tio, back);
        EXPECT_EQ(back.byteSize, row.byteSize);
        EXPECT_EQ(back.stopBits, row.stopBits);
    }

    // Sizes outside 5..8 leave the line's size as it was.
    LineSettings settings;
    settings.byteSize = 9;
    termios tio = rawTermios();
    tio.c_cflag = (tio.c_cflag & ~CSIZE) | CS7;
    ASSERT_TRUE(applyLineSettings(settings, tio));
    EXPECT_EQ(tio.c_cflag & CSIZE, tcflag_t{CS7});
}

TEST(SerialPlatformLinux, ByteTimeFollowsSpeedAndFraming)
{
    const struct {
        speed_t speed;
        tcflag_t flags;  // size, parity and stop bits
        int64_t ns;
    } rows[] = {
        {B9600, CS8, 1041666},                   // start, 8 data, stop: 10 bits
        {B9600, CS7 | PARENB | CSTOPB, 1145833}, // 1 + 7 + 1 + 2 = 11 bits
        {B9600, CS5 | CSTOPB, 781250},           // 1 + 5 + 1.5 = 7.5 bits
        {B115200, CS8 | PARENB, 95486},          // 11 bits
        {B300, CS8, 33333333},
        {B0, CS8, 0},                            // no rate: no pace to go by
    };
    for (const auto& row : rows) {
        termios tio = rawTermios();
        cfsetispeed(&tio, row.speed);
        cfsetospeed(&tio, row.speed);
        tio.c_cflag = (tio.c_cflag & ~(CSIZE | PARENB | CSTOPB)) | row.flags;
        EXPECT_EQ(byteTimeNs(tio), row.ns) << row.ns;
    }
}

TEST(SerialPlatformLinux, FlowControlAndRawMode)
{
    LineSettings settings;
    settings.ctsOutputFlow = true;
    termios tio{};
    // A cooked terminal, as a tty is before anyone configures it.
    tio.c_iflag = ICRNL | IXON | ISTRIP;
    tio.c_oflag = OPOST | ONLCR;
    tio.c_lflag = ICANON | ECHO | ISIG | IEXTEN;
    tio.c_cflag = CS8 | HUPCL;
    tio.c_cc[VMIN] = 4;
    tio.c_cc[VTIME] = 5;
    LineSettings before;
    lineSettingsFrom(tio, before);
    EXPECT_FALSE(before.binary);
    EXPECT_TRUE(before.xonXoffOutput);

    ASSERT_TRUE(applyLineSettings(settings, tio));
    EXPECT_EQ(tio.c_iflag & (ICRNL | IXON | IXOFF | ISTRIP), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(tio.c_cflag & (CRTSCTS | CLOCAL | CREAD | HUPCL),
              tcflag_t{CRTSCTS | CLOCAL | CREAD | HUPCL});
    EXPECT_EQ(tio.c_cc[VMIN], 1);
    EXPECT_EQ(tio.c_cc[VTIME], 0);
    EXPECT_EQ(cfgetospeed(&tio), B9600);

    LineSettings after;
    lineSettingsFrom(tio, after);
    EXPECT_TRUE(after.binary);
    EXPECT_TRUE(after.ctsOutputFlow);
    EXPECT_EQ(after.baudRate, 9600u);

    settings.ctsOutputFlow = false;
    settings.xonXoffOutput = true;
    settings.xonXoffInput = true;
    ASSERT_TRUE(applyLineSettings(settings, tio));
    EXPECT_EQ(tio.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF), tcflag_t{IXON | IXOFF});
}

TEST(SerialPlatformLinux, LowLatencyIsOnlyAskedFor)
{
    // A pseudo-terminal has no such mode; the request fails quietly.
    const int fd = ::open("/dev/ptmx", O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(requestLowLatency(fd));
    ::close(fd);
}

namespace {

// A device that only holds bytes in memory: what the default discard of a
// platform without a flush call of its own sees.
class MemoryDevice final : public mirel_varno::SerialDevice {
public:
    explicit MemoryDevice(size_t waiting) : waiting_(waiting) {}
    bool readSettings() override { return true; }
    bool writeSettings() override { return true; }
    bool setTimeouts(const mirel_varno::PortTimeouts& t) override
    {
        timeouts_ = t;
        return true;
    }
    bool getTimeouts(mirel_varno::PortTimeouts& t) override
    {
        t = timeouts_;
        return true;
    }
    uint32_t read(void*, uint32_t length) override
    {
        // Only "return at once" limits may be used to drop input.
        EXPECT_EQ(timeouts_.readInterval, 0xFFFFFFFFu);
        const uint32_t n = static_cast<uint32_t>(std::min<size_t>(length, waiting_));
        waiting_ -= n;
        return n;
    }
    bool write(const void*, uint32_t) override { return true; }
    bool flush() override { return true; }
    bool clearErrors() override { return true; }
    bool lost() const override { return false; }

    size_t waiting_;
    mirel_varno::PortTimeouts timeouts_{10, 1, 500, 25, 1};
};

}  // namespace

TEST(SerialDevice, DefaultDiscardTakesWhatWaitsAndPutsTheLimitsBack)
{
    for (size_t waiting : {size_t{0}, size_t{21}, size_t{256}, size_t{1000}, size_t{200000}}) {
        SCOPED_TRACE(waiting);
        MemoryDevice device(waiting);
        EXPECT_TRUE(device.discardInput());
        // A line that never stops is left after a bounded amount.
        EXPECT_EQ(device.waiting_, waiting > 65536 ? waiting - 65536 : 0u);
        EXPECT_EQ(device.timeouts_.readInterval, 10u);
        EXPECT_EQ(device.timeouts_.readTotalConstant, 500u);
    }
}
