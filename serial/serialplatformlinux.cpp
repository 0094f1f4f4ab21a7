// The serial layer on Linux: POSIX termios, with poll() for the time-outs.

#include "serial/serialplatformlinux.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#include "base/clock.h"
#include "serial/serialplatformreplywatch.h"
#include "serial/serialplatformwait.h"

namespace mirel_varno {

namespace {

using platformwait::after;
using platformwait::Clock;
using platformwait::NoDeadline;
using platformwait::waitFor;

// The read time-outs' value for "return at once with what is there".
constexpr uint32_t NoWaitInterval = 0xFFFFFFFFu;

constexpr struct {
    uint32_t rate;
    speed_t speed;
} Speeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

uint32_t rateFor(speed_t speed)
{
    for (const auto& s : Speeds) {
        if (s.speed == speed) {
            return s.rate;
        }
    }
    return 0;
}

// What raw (binary) mode clears: no translation, stripping, echo or signals.
constexpr tcflag_t RawInputFlags = IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL;
constexpr tcflag_t RawLocalFlags = ECHO | ECHONL | ICANON | ISIG | IEXTEN;

void setFlag(tcflag_t& flags, tcflag_t flag, bool on)
{
    flags = on ? (flags | flag) : (flags & ~flag);
}

class LinuxSerialDevice final : public SerialDevice {
public:
    explicit LinuxSerialDevice(int fd)
        : fd_(fd), interrupted_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
    {
    }
    ~LinuxSerialDevice() override;

    void interrupt() override;

    bool readSettings() override;
    bool writeSettings() override;
    bool setTimeouts(const PortTimeouts& timeouts) override;
    bool getTimeouts(PortTimeouts& timeouts) override;
    uint32_t read(void* buffer, uint32_t length) override;
    bool readAfterPause(void* buffer, uint32_t length, Clock::time_point pauseEnd,
                        uint32_t& count) override;
    bool write(const void* data, uint32_t length) override;
    bool flush() override;
    bool clearErrors() override;
    bool discardInput() override;
    bool lost() const override { return lost_; }

private:
    void setDtr(bool on);
    // read() with the total limit counted from `start`; `wokenBy`: the
    // events of a wait for the first bytes that has just ended (0: none).
    uint32_t readFrom(void* buffer, uint32_t length, Clock::time_point start, int wokenBy);
    // Follows a reply that has begun with `missing` bytes still to come
    // (ReplyWatch), leaving them in the driver. True when a read should
    // take what waits and go on: all have come, or the reply falls behind
    // the line and is watched byte by byte, its gap from `gapFrom`.
    // False when the read should take what waits and end (stop descriptor,
    // interrupt, the total limit).
    bool watchReply(uint32_t missing, Clock::time_point seen, bool justArrived,
                    Clock::duration byteTime, Clock::duration gap,
                    Clock::time_point totalDeadline, Clock::time_point& gapFrom);

    int fd_;
    // Readable from interrupt() on, for good: the device is being closed.
    int interrupted_;
    std::atomic<bool> lost_{false};
    termios tio_{};  // the device's termios as last read or written
    // What one character takes on the line at tio_'s settings, in
    // nanoseconds; 0 when the speed is unknown. Read by reads in flight.
    std::atomic<int64_t> byteTimeNs_{0};
    // When an answer to the last write can first be in.
    AnswerWindow answer_;
    // Set by the port's configuration calls while a read may be running.
    std::mutex timeoutsLock_;
    PortTimeouts timeouts_{};
};

LinuxSerialDevice::~LinuxSerialDevice()
{
    ::close(fd_);
    if (interrupted_ >= 0) {
        ::close(interrupted_);
    }
}

void LinuxSerialDevice::interrupt()
{
    const uint64_t one = 1;
    if (interrupted_ >= 0) {
        [[maybe_unused]] const ssize_t n = ::write(interrupted_, &one, sizeof one);
    }
}

bool LinuxSerialDevice::readSettings()
{
    if (tcgetattr(fd_, &tio_) != 0) {
        return false;
    }
    lineSettingsFrom(tio_, settings);
    byteTimeNs_ = byteTimeNs(tio_);
    int lines = 0;
    if (ioctl(fd_, TIOCMGET, &lines) == 0) {
        settings.dtr = (lines & TIOCM_DTR) != 0 ? DtrControl::Enabled : DtrControl::Disabled;
    }
    return true;
}

bool LinuxSerialDevice::writeSettings()
{
    termios tio = tio_;
    if (!applyLineSettings(settings, tio)) {
        return false;
    }
    // Pseudo-terminals ignore what they cannot do (parity, data bits) and
    // still succeed; a real failure leaves the line as it was.
    while (tcsetattr(fd_, TCSANOW, &tio) != 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    tio_ = tio;
    byteTimeNs_ = byteTimeNs(tio_);
    // Linux has no DTR handshake; the line is simply held on for it.
    setDtr(settings.dtr != DtrControl::Disabled);
    return true;
}

void LinuxSerialDevice::setDtr(bool on)
{
    // Devices without modem lines (pseudo-terminals) refuse; that is fine.
    int dtr = TIOCM_DTR;
    ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &dtr);
}

bool LinuxSerialDevice::setTimeouts(const PortTimeouts& timeouts)
{
    std::lock_guard<std::mutex> hold(timeoutsLock_);
    timeouts_ = timeouts;
    return true;
}

bool LinuxSerialDevice::getTimeouts(PortTimeouts& timeouts)
{
    std::lock_guard<std::mutex> hold(timeoutsLock_);
    timeouts = timeouts_;
    return true;
}

uint32_t LinuxSerialDevice::read(void* buffer, uint32_t length)
{
    return readFrom(buffer, length, Clock::now(), 0);
}

bool LinuxSerialDevice::readAfterPause(void* buffer, uint32_t length, Clock::time_point pauseEnd,
                                       uint32_t& count)
{
    PortTimeouts t;
    getTimeouts(t);
    const bool totalLimit = t.readTotalPerByte != 0 || t.readTotalConstant != 0;
    const bool noWait = t.readInterval == NoWaitInterval && !totalLimit;
    const AnswerWindow::Pause plan = answer_.plan(pauseEnd);
    if (noWait || t.readInterval == 0 || plan == AnswerWindow::Pause::Plain) {
        return false;
    }
    const int stop = stopDescriptor.load();
    if (plan == AnswerWindow::Pause::Check) {
        if (platformwait::sleepUntil(pauseEnd, stop, interrupted_)) {
            int waiting = 0;
            answer_.heard(ioctl(fd_, FIONREAD, &waiting) != 0 || waiting > 0);
        }
        count = readFrom(buffer, length, Clock::now(), 0);
        return true;
    }
    const Clock::time_point totalDeadline =
        totalLimit ? after(pauseEnd, uint64_t{t.readTotalPerByte} * length + t.readTotalConstant)
                   : NoDeadline;
    const int events = waitFor(fd_, POLLIN, totalDeadline, stop, interrupted_);
    if (events > 0 && Clock::now() < pauseEnd) {
        // Something came sooner than an answer can: it is taken at the
        // pause's end, as after a plain pause.
        answer_.heard(true);
        platformwait::sleepUntil(pauseEnd, stop, interrupted_);
        count = readFrom(buffer, length, Clock::now(), 0);
    } else {
        // The first bytes have just come, as a read begun at the pause's
        // end would have been woken by them; or a stop, or the total limit.
        count = readFrom(buffer, length, pauseEnd, std::max(events, 0));
    }
    return true;
}

uint32_t LinuxSerialDevice::readFrom(void* buffer, uint32_t length, Clock::time_point start,
                                     int wokenBy)
{
    PortTimeouts t;
    getTimeouts(t);
    const bool totalLimit = t.readTotalPerByte != 0 || t.readTotalConstant != 0;
    const bool noWait = t.readInterval == NoWaitInterval && !totalLimit;
    const bool gapLimit = t.readInterval != 0 && !noWait;
    const Clock::duration gap = std::chrono::milliseconds(t.readInterval);
    const Clock::duration byteTime = std::chrono::nanoseconds(byteTimeNs_.load());
    // A reply is followed without a wake-up per byte once it has begun,
    // where the line's speed says when the rest can be in; once more after
    // it fell behind (a late burst from an adapter or a busy sender), but
    // not at every byte of one that trickles.
    int watches = gapLimit && ReplyWatch::fits(byteTime, gap) ? 2 : 0;

    // Calculate the time at which we give up, once: the total limit.
    const Clock::time_point totalDeadline =
        totalLimit ? after(start, uint64_t{t.readTotalPerByte} * length + t.readTotalConstant)
                   : NoDeadline;
    // The gap limit runs only from the first byte on.
    Clock::time_point gapDeadline = NoDeadline;
    // Set by the watch: the earliest the bytes it leaves waiting can have
    // come, for the gap of the read that takes them.
    Clock::time_point seenBefore = NoDeadline;
    // Take what has come, but wait no more (a stop, the total limit).
    bool lastTake = false;
    // The bytes a read takes woke us: they have only just come.
    bool woken = wokenBy > 0;
    // A watch starts at the first bytes, or at the first that wake us
    // after one fell behind.
    bool mayWatch = true;

    auto* bytes = static_cast<uint8_t*>(buffer);
    uint32_t count = 0;
    bool hungUp = (wokenBy & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    while (count < length) {
        const ssize_t n = ::read(fd_, bytes + count, length - count);
        if (n > 0) {
            count += static_cast<uint32_t>(n);
            const Clock::time_point seen = std::min(Clock::now(), seenBefore);
            seenBefore = NoDeadline;
            if (gapLimit) {
                gapDeadline = after(seen, t.readInterval);
            }
            if (lastTake) {
                break;
            }
            if (watches > 0 && mayWatch && count < length) {
                --watches;
                mayWatch = false;
                if (watchReply(length - count, seen, woken, byteTime, gap, totalDeadline,
                               seenBefore)) {
                    gapDeadline = after(seenBefore, t.readInterval);
                } else {
                    lastTake = true;
                }
            }
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        // End of input (0, a hung-up tty), a vanished device (EIO), or
        // nothing more to come after a hang-up was seen: stop, do not spin.
        if (n == 0 || (errno != EAGAIN) || hungUp) {
            lost_ = true;
            break;
        }
        if (noWait || lastTake) {
            break;
        }
        seenBefore = NoDeadline;
        const int events = waitFor(fd_, POLLIN, std::min(totalDeadline, gapDeadline),
                                   stopDescriptor.load(), interrupted_);
        if (events <= 0) {
            break;
        }
        hungUp = (events & (POLLHUP | POLLERR | POLLNVAL)) != 0;
        woken = true;
        mayWatch = true;
    }
    return count;
}

bool LinuxSerialDevice::watchReply(uint32_t missing, Clock::time_point seen, bool justArrived,
                                   Clock::duration byteTime, Clock::duration gap,
                                   Clock::time_point totalDeadline, Clock::time_point& gapFrom)
{
    ReplyWatch watch(missing, byteTime, gap, seen, justArrived);
    for (;;) {
        // Only the wake-up descriptors are watched, not the line: the bytes
        // are counted at the look, not on arrival.
        const Clock::time_point next = std::min(watch.nextLook(), totalDeadline);
        if (!platformwait::sleepUntil(next, stopDescriptor.load(), interrupted_)) {
            return false;
        }
        int waiting = 0;
        if (ioctl(fd_, FIONREAD, &waiting) != 0 || waiting < 0) {
            gapFrom = watch.gapFrom();
            return true;  // the byte-by-byte watch finds out what is wrong
        }
        if (watch.look(Clock::now(), static_cast<uint32_t>(waiting)) != ReplyWatch::Step::Sleep) {
            gapFrom = watch.gapFrom();
            return true;
        }
        if (next >= totalDeadline) {
            return false;
        }
    }
}

bool LinuxSerialDevice::write(const void* data, uint32_t length)
{
    PortTimeouts t;
    getTimeouts(t);
    const bool totalLimit = t.writeTotalPerByte != 0 || t.writeTotalConstant != 0;
    const Clock::time_point begun = Clock::now();
    const Clock::time_point deadline =
        totalLimit ? after(begun, uint64_t{t.writeTotalPerByte} * length + t.writeTotalConstant)
                   : NoDeadline;
    const Clock::duration byteTime = std::chrono::nanoseconds(byteTimeNs_.load());

    const auto* bytes = static_cast<const uint8_t*>(data);
    uint32_t done = 0;
    // What went out still keeps the line busy; no answer is expected.
    const auto failed = [&] {
        answer_.wrote(begun, done, byteTime, false);
        return false;
    };
    while (done < length) {
        const ssize_t n = ::write(fd_, bytes + done, length - done);
        if (n > 0) {
            done += static_cast<uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n == 0 || errno != EAGAIN) {
            lost_ = lost_ || n == 0 || errno == EIO || errno == ENXIO || errno == ENODEV;
            return failed();
        }
        // The output buffer is full (flow control, a slow line): wait for
        // room, but not past the write limit; a hang-up fails the write.
        const int events = waitFor(fd_, POLLOUT, deadline, stopDescriptor.load(), interrupted_);
        if (events > 0 && (events & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            lost_ = true;
        }
        if (events <= 0 || (events & POLLOUT) == 0) {
            return failed();
        }
    }
    answer_.wrote(begun, length, byteTime, true);
    return true;
}

bool LinuxSerialDevice::flush()
{
    while (tcdrain(fd_) != 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    return true;
}

bool LinuxSerialDevice::clearErrors()
{
    // A tty latches no line errors that would block transfers: parity and
    // framing errors arrive in the data. Pending input stays where it is.
    return true;
}

bool LinuxSerialDevice::discardInput()
{
    // What is still on its way arrives after this and is the reader's
    // business; what the kernel holds now goes.
    return tcflush(fd_, TCIFLUSH) == 0;
}

bool isComName(const std::string& name, unsigned& number)
{
    if (name.size() < 4 || name.size() > 9 || strncasecmp(name.c_str(), "COM", 3) != 0) {
        return false;
    }
    unsigned n = 0;
    for (size_t i = 3; i < name.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i]))) {
            return false;
        }
        n = n * 10 + static_cast<unsigned>(name[i] - '0');
    }
    number = n;
    return n >= 1;
}

}  // namespace

std::string devicePath(const char* modeText)
{
    // The device is what comes before the settings that the port appends;
    // names under /dev/serial/by-path hold colons of their own.
    const std::string text(modeText);
    size_t end = text.rfind(": baud=");
    if (end == std::string::npos) {
        end = text.find(':');
    }
    const std::string name = text.substr(0, end);
    unsigned number = 0;
    struct stat entry {};
    if (isComName(name, number) && lstat(name.c_str(), &entry) != 0) {
        return "/dev/ttyS" + std::to_string(number - 1);
    }
    return name;
}

bool speedFor(uint32_t baudRate, speed_t& speed)
{
    for (const auto& s : Speeds) {
        if (s.rate == baudRate) {
            speed = s.speed;
            return true;
        }
    }
    return false;
}

int64_t byteTimeNs(const termios& tio)
{
    const uint32_t rate = rateFor(cfgetispeed(&tio));
    if (rate == 0) {
        return 0;
    }
    // In half bits: a start bit, the data bits, the parity bit, and one,
    // one and a half (5-bit bytes) or two stop bits.
    int64_t halfBits = 2;
    switch (tio.c_cflag & CSIZE) {
    case CS5: halfBits += 10; break;
    case CS6: halfBits += 12; break;
    case CS7: halfBits += 14; break;
    default: halfBits += 16; break;
    }
    if ((tio.c_cflag & PARENB) != 0) {
        halfBits += 2;
    }
    if ((tio.c_cflag & CSTOPB) == 0) {
        halfBits += 2;
    } else {
        halfBits += (tio.c_cflag & CSIZE) == CS5 ? 3 : 4;
    }
    return halfBits * 500000000 / rate;
}

void lineSettingsFrom(const termios& tio, LineSettings& settings)
{
    settings.baudRate = rateFor(cfgetospeed(&tio));
    settings.binary = (tio.c_iflag & RawInputFlags) == 0 && (tio.c_oflag & OPOST) == 0 &&
                      (tio.c_lflag & RawLocalFlags) == 0;
    settings.parityCheck = (tio.c_iflag & INPCK) != 0;
    settings.ctsOutputFlow = (tio.c_cflag & CRTSCTS) != 0;
    settings.xonXoffOutput = (tio.c_iflag & IXON) != 0;
    settings.xonXoffInput = (tio.c_iflag & IXOFF) != 0;
    switch (tio.c_cflag & CSIZE) {
    case CS5: settings.byteSize = 5; break;
    case CS6: settings.byteSize = 6; break;
    case CS7: settings.byteSize = 7; break;
    default: settings.byteSize = 8; break;
    }
    if ((tio.c_cflag & PARENB) == 0) {
        settings.parity = LineParity::None;
    } else if ((tio.c_cflag & CMSPAR) != 0) {
        settings.parity = (tio.c_cflag & PARODD) != 0 ? LineParity::Mark : LineParity::Space;
    } else {
        settings.parity = (tio.c_cflag & PARODD) != 0 ? LineParity::Odd : LineParity::Even;
    }
    if ((tio.c_cflag & CSTOPB) == 0) {
        settings.stopBits = LineStopBits::One;
    } else {
        settings.stopBits = settings.byteSize == 5 ? LineStopBits::OneAndHalf : LineStopBits::Two;
    }
}

bool applyLineSettings(const LineSettings& settings, termios& tio)
{
    speed_t speed = B0;
    if (!speedFor(settings.baudRate, speed)) {
        return false;
    }
    termios t = tio;
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    if (settings.binary) {
        t.c_iflag &= ~RawInputFlags;
        t.c_oflag &= ~OPOST;
        t.c_lflag &= ~RawLocalFlags;
    }
    // Input is ready from its first byte, so poll() sees every byte and
    // the time-outs are ours alone (VTIME counts in tenths of a second).
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;

    setFlag(t.c_iflag, INPCK, settings.parityCheck);
    setFlag(t.c_cflag, CRTSCTS, settings.ctsOutputFlow);
    setFlag(t.c_iflag, IXON, settings.xonXoffOutput);
    setFlag(t.c_iflag, IXOFF, settings.xonXoffInput);

    static constexpr tcflag_t Sizes[] = {CS5, CS6, CS7, CS8};
    if (settings.byteSize >= 5 && settings.byteSize <= 8) {
        t.c_cflag = (t.c_cflag & ~CSIZE) | Sizes[settings.byteSize - 5];
    }

    t.c_cflag &= ~(PARENB | PARODD | CMSPAR);
    switch (settings.parity) {
    case LineParity::None: break;
    case LineParity::Odd: t.c_cflag |= PARENB | PARODD; break;
    case LineParity::Even: t.c_cflag |= PARENB; break;
    case LineParity::Mark: t.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case LineParity::Space: t.c_cflag |= PARENB | CMSPAR; break;
    }

    // Linux has no 1.5 stop bits in termios; the UART sends 1.5 when
    // asked for two with 5-bit bytes.
    setFlag(t.c_cflag, CSTOPB, settings.stopBits != LineStopBits::One);

    // No modem-control wait on open or read, and the receiver on.
    t.c_cflag |= CLOCAL | CREAD;
    tio = t;
    return true;
}

bool SerialDevice::readable(int fd)
{
    if (fd < 0) {
        return false;
    }
    pollfd p{fd, POLLIN, 0};
    int r;
    do {
        r = ::poll(&p, 1, 0);
    } while (r < 0 && errno == EINTR);
    // A descriptor closed under us (POLLNVAL) asks for nothing.
    return r > 0 && (p.revents & POLLNVAL) == 0;
}

bool SerialDevice::pause(uint32_t milliseconds, int fd)
{
    if (fd < 0) {
        sleepMs(milliseconds);
        return true;
    }
    const Clock::time_point deadline = after(Clock::now(), milliseconds);
    const int events = waitFor(fd, POLLIN, deadline);
    if (events > 0 && (events & POLLNVAL) == 0) {
        return false;
    }
    if (events != 0) {
        // A descriptor that cannot be waited on: the plain pause.
        std::this_thread::sleep_until(deadline);
    }
    return true;
}

bool SerialDevice::supportsBaudRate(int32_t baudRate)
{
    speed_t speed = B0;
    return baudRate > 0 && speedFor(static_cast<uint32_t>(baudRate), speed);
}

std::unique_ptr<SerialDevice> SerialDevice::openTerminal(const char* modeText)
{
    const std::string path = devicePath(modeText);
    if (path.empty()) {
        return nullptr;
    }
    // Non-blocking, so that neither the open nor any transfer waits for
    // modem lines; every wait is our own poll() with a deadline.
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    // One port at a time: the lock belongs to this open descriptor, so it
    // goes with the process however that ends. TIOCEXCL is not used: it
    // belongs to the tty and, after a SIGKILL, would keep every later
    // opener out for as long as anyone else (a bridge, the simulator) holds
    // the line open.
    if (!isatty(fd) || flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return nullptr;
    }
    requestLowLatency(fd);
    return std::make_unique<LinuxSerialDevice>(fd);
}

}  // namespace mirel_varno
