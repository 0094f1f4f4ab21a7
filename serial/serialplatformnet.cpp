// Network lines: a TCP socket under the port's time-outs, with poll() for
// every wait, and a connection that comes back by itself after it is lost.

#include "serial/serialplatformnet.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "serial/serialplatformreplywatch.h"
#include "serial/serialplatformresolver.h"
#include "serial/serialplatformtelnet.h"
#include "serial/serialplatformwait.h"

namespace mirel_varno {

namespace {

using platformwait::after;
using platformwait::Clock;
using platformwait::NoDeadline;
using platformwait::waitFor;

constexpr uint32_t NoWaitInterval = 0xFFFFFFFFu;

// Connecting at open may take a slow network's time; a reconnection is
// tried while an exchange waits and must not hold it up for long.
constexpr uint32_t OpenLimitMs = 3000;
constexpr uint32_t ReconnectLimitMs = 500;
constexpr uint32_t ReconnectFloorMs = 100;
// How long an open waits for the server to confirm the far port's line;
// one that never does still carries it.
constexpr uint32_t SettleLimitMs = 1000;
// A device server that cannot open its port says so and hangs up at once,
// within a round trip of accepting. A raw connection is watched that long
// (four times the connect's own time, within these bounds) before it is
// trusted with a request.
constexpr uint32_t VerdictMinMs = 30;
constexpr uint32_t VerdictMaxMs = 250;
// A read that must not wait still stops taking a flood of commands.
constexpr uint32_t NoWaitLimitMs = 10;
// Between failed reconnections: doubling from the first to the last. It
// starts afresh only after a connection worked: it carried a valid frame
// (the protocol says so) or stayed up this long.
constexpr uint32_t FirstBackoffMs = 250;
constexpr uint32_t LastBackoffMs = 8000;
constexpr uint32_t WorkedAfterMs = 10000;
// What a server said before it hung up: this much is kept and shown.
constexpr size_t MaxServerText = 512;
constexpr size_t MaxShownText = 160;
// A connection that stops carrying anything is given up after this long
// without an acknowledgement or keep-alive answer.
constexpr int KeepIdleS = 10;
constexpr int KeepIntervalS = 5;
constexpr int KeepCount = 3;
constexpr unsigned UserTimeoutMs = 20000;

bool decimal(const std::string& text, uint32_t max, uint32_t& value)
{
    if (text.empty() || text.size() > 10) {
        return false;
    }
    uint64_t v = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > max) {
        return false;
    }
    value = static_cast<uint32_t>(v);
    return true;
}

void setOption(int fd, int level, int name, int value)
{
    // Each is an improvement; a kernel without it still carries the line.
    setsockopt(fd, level, name, &value, sizeof value);
}

class NetworkSerialDevice final : public SerialDevice {
public:
    explicit NetworkSerialDevice(const NetworkName& name)
        : name_(name),
          telnet_(name.kind == NetworkName::Kind::Telnet),
          interrupted_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
          byteTimeNs_(lineByteTimeNs(settings))
    {
    }
    ~NetworkSerialDevice() override
    {
        drop();
        if (interrupted_ >= 0) {
            ::close(interrupted_);
        }
    }

    // Looks the host up, connects and, for Telnet, negotiates and sets the
    // far port's line; every step within the deadline and ended by a stop.
    bool connect(Clock::time_point deadline, std::string& reason);

    void interrupt() override;
    void frameReceived() override { worked_ = true; }
    bool readSettings() override { return true; }
    bool writeSettings() override;
    bool setTimeouts(const PortTimeouts& timeouts) override;
    bool getTimeouts(PortTimeouts& timeouts) override;
    uint32_t read(void* buffer, uint32_t length) override;
    bool readAfterPause(void* buffer, uint32_t length, Clock::time_point pauseEnd,
                        uint32_t& count) override;
    bool write(const void* data, uint32_t length) override;
    bool flush() override { return fd_ >= 0; }
    bool clearErrors() override { return true; }
    // The connection comes back by itself: never lost for the port.
    bool lost() const override { return false; }

private:
    // What pull() found besides data.
    static constexpr long Lost = -1;
    static constexpr long Empty = -2;

    bool halted() const;
    int wait(int fd, short events, Clock::time_point deadline) const;
    // read() with the limits counted from `start`; `woken`: a wait for the
    // first bytes has just ended with them.
    uint32_t readFrom(void* buffer, uint32_t length, Clock::time_point start, bool woken);
    bool lookUp(Clock::time_point deadline, std::vector<NetworkAddress>& addresses,
                std::string& reason);
    int dial(const NetworkAddress& address, Clock::time_point deadline, int& error) const;
    bool heardNoVerdict(Clock::duration connectTime, Clock::time_point deadline,
                        std::string& reason);
    long pull(uint8_t* data, size_t room);
    bool send(const std::vector<uint8_t>& bytes, Clock::time_point deadline);
    // Follows a reply that has begun with `missing` bytes still to come
    // (ReplyWatch): sleeps until they can all be in, then pulls what waits
    // into `into` (`taken` bytes of data). True when the read should pull
    // what waits and go on: all have come, or the reply falls behind the
    // line and is watched piece by piece, its gap from `gapFrom`. False
    // when it should pull what waits and end (a stop, the device closing,
    // the total limit).
    bool watchReply(uint8_t* into, uint32_t missing, uint32_t& taken, Clock::time_point seen,
                    bool justArrived, Clock::duration byteTime, Clock::duration gap,
                    Clock::time_point totalDeadline, Clock::time_point& gapFrom);
    bool negotiate(Clock::time_point deadline, std::string& reason);
    bool reconnectIfDue(Clock::time_point limit);
    void drop();
    void lose();
    void holdOff();

    NetworkName name_;
    bool telnet_;
    int fd_ = -1;
    // Readable from interrupt() on, for good: the device is being closed.
    int interrupted_;
    TelnetSession session_;
    PortTimeouts timeouts_{};
    Clock::time_point nextAttempt_{};
    uint32_t backoffMs_ = FirstBackoffMs;
    Clock::time_point connectedAt_{};
    std::atomic<bool> worked_{false};
    // The addresses of the last lookup that answered, for when the next
    // one does not; a lookup still running is waited for again next time.
    std::vector<NetworkAddress> lastGood_;
    std::shared_ptr<NameLookup> lookup_;
    // What one character takes on the far line at the configured speed and
    // framing, in nanoseconds. Read by reads in flight.
    std::atomic<int64_t> byteTimeNs_;
    // When an answer to the last write can first be in, at the far line's
    // speed: the device server passes a request on no sooner than it has it.
    AnswerWindow answer_;
};

// The server's own words, fit to be shown: printable ASCII on one line,
// bounded; empty when nothing printable came.
std::string serverSays(const std::string& bytes)
{
    std::string text;
    bool space = false;
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b > 0x20 && b < 0x7F) {
            if (space && !text.empty()) {
                text += ' ';
            }
            space = false;
            text += c;
        } else {
            space = true;
        }
        if (text.size() > MaxShownText) {
            text.resize(MaxShownText);
            text += "...";
            break;
        }
    }
    return text.empty() ? text : "ser2net says: " + text;
}

void NetworkSerialDevice::interrupt()
{
    if (interrupted_ >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(interrupted_, &one, sizeof one);
    }
}

bool NetworkSerialDevice::halted() const
{
    pollfd p[2] = {{stopDescriptor.load(), POLLIN, 0}, {interrupted_, POLLIN, 0}};
    return poll(p, 2, 0) > 0;
}

int NetworkSerialDevice::wait(int fd, short events, Clock::time_point deadline) const
{
    return waitFor(fd, events, deadline, stopDescriptor.load(), interrupted_);
}

bool NetworkSerialDevice::lookUp(Clock::time_point deadline, std::vector<NetworkAddress>& addresses,
                                 std::string& reason)
{
    if (!lookup_) {
        lookup_ = NameLookup::start(name_.host, name_.port);
    }
    // With addresses from before in hand, a slow lookup gets half the time
    // and the connection the rest.
    Clock::time_point until = deadline;
    if (!lastGood_.empty()) {
        const Clock::time_point now = Clock::now();
        until = deadline > now ? now + (deadline - now) / 2 : now;
    }
    if (!lookup_->finished()) {
        wait(lookup_->descriptor(), POLLIN, until);
    }
    if (lookup_->finished()) {
        std::vector<NetworkAddress> found;
        std::string error;
        const bool ok = lookup_->result(found, error);
        lookup_.reset();
        if (ok) {
            lastGood_ = found;
            addresses = std::move(found);
            return true;
        }
        reason = "cannot resolve host '" + name_.host + "': " + error;
    } else if (halted()) {
        reason = "stopped";
        return false;
    } else {
        reason = "cannot resolve host '" + name_.host + "': no answer in time";
    }
    if (lastGood_.empty()) {
        return false;
    }
    addresses = lastGood_;
    return true;
}

int NetworkSerialDevice::dial(const NetworkAddress& address, Clock::time_point deadline,
                              int& error) const
{
    const auto* a = reinterpret_cast<const sockaddr*>(&address.address);
    const int fd = socket(a->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = errno;
        return -1;
    }
    error = 0;
    if (::connect(fd, a, address.size) != 0) {
        error = errno;
        if (error == EINPROGRESS) {
            const int events = wait(fd, POLLOUT, deadline);
            socklen_t size = sizeof error;
            if (events == 0) {
                error = halted() ? ECANCELED : ETIMEDOUT;
            } else if (events < 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
                error = errno;
            }
        }
    }
    if (error != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool NetworkSerialDevice::connect(Clock::time_point deadline, std::string& reason)
{
    drop();
    std::vector<NetworkAddress> addresses;
    if (!lookUp(deadline, addresses, reason)) {
        return false;
    }
    int lastError = ETIMEDOUT;
    Clock::time_point dialled{};
    for (size_t i = 0; i < addresses.size() && fd_ < 0; ++i) {
        dialled = Clock::now();
        if (dialled >= deadline || halted()) {
            break;
        }
        // Each address gets its share of the time left, so that one that
        // drops packets leaves the next its chance.
        const auto share = (deadline - dialled) / static_cast<long>(addresses.size() - i);
        fd_ = dial(addresses[i], dialled + share, lastError);
    }
    if (fd_ < 0) {
        reason = halted() ? "stopped"
                          : "cannot connect to " + name_.host + " port " + name_.port + ": " +
                                std::strerror(lastError);
        return false;
    }
    connectedAt_ = Clock::now();
    worked_ = false;
    // Requests go out at once rather than waiting for the last one's
    // acknowledgement; a dead peer is noticed without traffic.
    setOption(fd_, IPPROTO_TCP, TCP_NODELAY, 1);
    setOption(fd_, IPPROTO_TCP, TCP_QUICKACK, 1);
    setOption(fd_, SOL_SOCKET, SO_KEEPALIVE, 1);
    setOption(fd_, IPPROTO_TCP, TCP_KEEPIDLE, KeepIdleS);
    setOption(fd_, IPPROTO_TCP, TCP_KEEPINTVL, KeepIntervalS);
    setOption(fd_, IPPROTO_TCP, TCP_KEEPCNT, KeepCount);
    setOption(fd_, IPPROTO_TCP, TCP_USER_TIMEOUT, static_cast<int>(UserTimeoutMs));
    const bool ready = telnet_ ? negotiate(deadline, reason)
                               : heardNoVerdict(connectedAt_ - dialled, deadline, reason);
    if (!ready) {
        drop();
    }
    return ready;
}

bool NetworkSerialDevice::heardNoVerdict(Clock::duration connectTime, Clock::time_point deadline,
                                         std::string& reason)
{
    const auto window =
        std::clamp<Clock::duration>(connectTime * 4, std::chrono::milliseconds(VerdictMinMs),
                                    std::chrono::milliseconds(VerdictMaxMs));
    const int events = wait(fd_, POLLRDHUP, std::min(deadline, connectedAt_ + window));
    if (events == 0) {
        if (halted()) {
            reason = "stopped";
            return false;
        }
        return true;
    }
    // The server hung up: what it wrote first is its reason.
    std::string said;
    char text[MaxServerText];
    ssize_t n = 0;
    while (said.size() < MaxServerText &&
           (n = recv(fd_, text, MaxServerText - said.size(), MSG_DONTWAIT)) > 0) {
        said.append(text, static_cast<size_t>(n));
    }
    reason = serverSays(said);
    if (reason.empty()) {
        reason = "the server closed the connection at once";
    }
    return false;
}

bool NetworkSerialDevice::negotiate(Clock::time_point deadline, std::string& reason)
{
    // Data bytes that come meanwhile answer no request of this session;
    // they are kept only as the server's reason should it hang up.
    std::string said;
    enum Outcome { Done, TimedOut, Closed, Stopped, Broken };
    auto until = [&](auto done, Clock::time_point limit) {
        uint8_t data[512];
        while (!done()) {
            // Checked on every pass: a server may send commands for ever.
            if (halted()) {
                return Stopped;
            }
            if (Clock::now() >= limit) {
                return TimedOut;
            }
            const long n = pull(data, sizeof data);
            if (session_.broken()) {
                return Broken;
            }
            if (n == Lost) {
                return Closed;
            }
            if (n > 0 && said.size() < MaxServerText) {
                said.append(reinterpret_cast<const char*>(data),
                            std::min(static_cast<size_t>(n), MaxServerText - said.size()));
            }
            if (n == Empty && wait(fd_, POLLIN, limit) < 0) {
                return Closed;
            }
        }
        return Done;
    };
    auto failed = [&](Outcome outcome) {
        switch (outcome) {
        case Closed:
            reason = serverSays(said);
            if (reason.empty()) {
                reason = "connection closed during Telnet negotiation";
            }
            break;
        case Stopped: reason = "stopped"; break;
        case Broken: reason = "the server sent a Telnet subnegotiation without end"; break;
        case TimedOut:
            reason = "no answer to the COM port control request (RFC 2217); is the server in "
                     "telnet mode with rfc2217 enabled?";
            break;
        case Done: break;
        }
        return false;
    };

    session_ = TelnetSession();
    std::vector<uint8_t> out;
    session_.start(out);
    if (!send(out, deadline)) {
        return failed(Closed);
    }
    const Outcome answered = until(
        [&] { return session_.comPort() != TelnetSession::OptionState::WantYes; }, deadline);
    if (answered != Done) {
        return failed(answered);
    }
    if (session_.comPort() != TelnetSession::OptionState::Yes) {
        reason = "the server refuses COM port control (RFC 2217)";
        return false;
    }
    // The far port is set, and what it received before this session is
    // dropped, before the first request goes: a reply must not meet a line
    // still changing speed, nor the remains of an exchange cut off when the
    // last connection was lost. A server that does not confirm its settings
    // in time still carries the line.
    out.clear();
    session_.comPortSettings(settings, true, out);
    session_.purgeReceived(out);
    if (!send(out, deadline)) {
        return failed(Closed);
    }
    const Outcome settled = until([&] { return session_.comPortSettled(); },
                                  std::min(deadline, after(Clock::now(), SettleLimitMs)));
    return settled == Done || settled == TimedOut || failed(settled);
}

void NetworkSerialDevice::drop()
{
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

void NetworkSerialDevice::holdOff()
{
    nextAttempt_ = after(Clock::now(), backoffMs_);
    backoffMs_ = std::min(backoffMs_ * 2, LastBackoffMs);
}

void NetworkSerialDevice::lose()
{
    if (fd_ < 0) {
        return;
    }
    const bool worked =
        worked_ || Clock::now() - connectedAt_ >= std::chrono::milliseconds(WorkedAfterMs);
    drop();
    if (worked) {
        backoffMs_ = FirstBackoffMs;
    }
    holdOff();
}

bool NetworkSerialDevice::reconnectIfDue(Clock::time_point limit)
{
    const Clock::time_point now = Clock::now();
    if (fd_ >= 0) {
        return true;
    }
    if (now < nextAttempt_) {
        return false;
    }
    const Clock::time_point deadline =
        std::max(std::min(after(now, ReconnectLimitMs), limit), after(now, ReconnectFloorMs));
    std::string reason;
    if (connect(deadline, reason)) {
        return true;
    }
    // A connection lost during its own negotiation has been held off already.
    if (nextAttempt_ <= Clock::now()) {
        holdOff();
    }
    return false;
}

long NetworkSerialDevice::pull(uint8_t* data, size_t room)
{
    uint8_t raw[512];
    uint8_t* into = telnet_ ? raw : data;
    const size_t want = telnet_ ? std::min(room, sizeof raw) : room;
    for (;;) {
        const ssize_t n = recv(fd_, into, want, MSG_DONTWAIT);
        if (n > 0) {
            // A server that sends a reply in pieces without TCP_NODELAY holds
            // each next piece until this one is acknowledged; a delayed
            // acknowledgement would add up to 40 ms to every exchange. The
            // kernel leaves quick-ack mode by itself, so it is asked anew.
            setOption(fd_, IPPROTO_TCP, TCP_QUICKACK, 1);
            if (!telnet_) {
                // Bytes followed by a hang-up on a connection that never
                // worked are the server's complaint, not the line's data.
                pollfd p{fd_, POLLRDHUP, 0};
                if (!worked_ && poll(&p, 1, 0) > 0) {
                    return Lost;
                }
                return n;
            }
            std::vector<uint8_t> answers;
            const size_t count = session_.receive(raw, static_cast<size_t>(n), data, answers);
            if (session_.broken() ||
                (!answers.empty() && !send(answers, after(Clock::now(), ReconnectLimitMs)))) {
                return Lost;
            }
            return static_cast<long>(count);
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return Empty;
        }
        return Lost;  // closed by the far end, reset, or timed out
    }
}

bool NetworkSerialDevice::send(const std::vector<uint8_t>& bytes, Clock::time_point deadline)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done,
                                 MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && Clock::now() < deadline &&
            !halted()) {
            const int events = wait(fd_, POLLOUT, deadline);
            if (events >= 0 &&
                ((events & (POLLERR | POLLHUP | POLLNVAL)) == 0 || (events & POLLOUT) != 0)) {
                continue;
            }
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && done == 0) {
            return false;  // nothing went: the stream is whole and may yet recover
        }
        // Half a request, an IAC pair or a subnegotiation cut in two would
        // garble what follows on this connection: it goes.
        lose();
        return false;
    }
    return true;
}

bool NetworkSerialDevice::writeSettings()
{
    byteTimeNs_ = lineByteTimeNs(settings);
    if (!telnet_ || fd_ < 0) {
        return true;  // a raw line has no settings; a new connection sends them all
    }
    std::vector<uint8_t> out;
    session_.comPortSettings(settings, false, out);
    return out.empty() || send(out, after(Clock::now(), ReconnectLimitMs));
}

bool NetworkSerialDevice::setTimeouts(const PortTimeouts& timeouts)
{
    timeouts_ = timeouts;
    // The gap between two bytes of one reply now includes the network's.
    if (timeouts_.readInterval != 0 && timeouts_.readInterval != NoWaitInterval) {
        timeouts_.readInterval = std::max(timeouts_.readInterval, name_.gapMs);
    }
    return true;
}

bool NetworkSerialDevice::getTimeouts(PortTimeouts& timeouts)
{
    timeouts = timeouts_;
    return true;
}

uint32_t NetworkSerialDevice::read(void* buffer, uint32_t length)
{
    return readFrom(buffer, length, Clock::now(), false);
}

bool NetworkSerialDevice::readAfterPause(void* buffer, uint32_t length, Clock::time_point pauseEnd,
                                         uint32_t& count)
{
    const PortTimeouts& t = timeouts_;
    const bool totalLimit = t.readTotalPerByte != 0 || t.readTotalConstant != 0;
    const bool noWait = t.readInterval == NoWaitInterval && !totalLimit;
    const AnswerWindow::Pause plan = answer_.plan(pauseEnd);
    // A raw connection that has not carried a frame yet is read as ever.
    if (noWait || t.readInterval == 0 || fd_ < 0 || !(telnet_ || worked_) ||
        plan == AnswerWindow::Pause::Plain) {
        return false;
    }
    if (plan == AnswerWindow::Pause::Check) {
        wait(-1, 0, pauseEnd);
        int waiting = 0;
        answer_.heard(fd_ >= 0 && (ioctl(fd_, FIONREAD, &waiting) != 0 || waiting > 0));
        count = readFrom(buffer, length, Clock::now(), false);
        return true;
    }
    const Clock::time_point totalDeadline =
        totalLimit ? after(pauseEnd, uint64_t{t.readTotalPerByte} * length + t.readTotalConstant)
                   : NoDeadline;
    const int events = wait(fd_, POLLIN, totalDeadline);
    if (events > 0 && Clock::now() < pauseEnd) {
        // Something came sooner than an answer can (a Telnet notice, bytes
        // of the far line's own): taken at the pause's end, as ever.
        answer_.heard(true);
        wait(-1, 0, pauseEnd);
        count = readFrom(buffer, length, Clock::now(), false);
    } else {
        count = readFrom(buffer, length, pauseEnd, events > 0);
    }
    return true;
}

uint32_t NetworkSerialDevice::readFrom(void* buffer, uint32_t length, Clock::time_point start,
                                       bool woken)
{
    const PortTimeouts& t = timeouts_;
    const bool totalLimit = t.readTotalPerByte != 0 || t.readTotalConstant != 0;
    const bool noWait = t.readInterval == NoWaitInterval && !totalLimit;
    const bool gapLimit = t.readInterval != 0 && !noWait;
    const Clock::duration gap = std::chrono::milliseconds(t.readInterval);
    const Clock::duration byteTime = std::chrono::nanoseconds(byteTimeNs_.load());
    // As on a terminal line: a reply that has begun is followed without a
    // wake-up per segment where the line's speed says when the rest can be
    // in; once more after it fell behind (a device server holding a piece
    // back), but not at every piece of one that trickles. Not on a raw
    // connection that has never carried a frame: there, bytes that wait
    // until a hang-up pass for the server's complaint (pull).
    int watches = gapLimit && (telnet_ || worked_) && ReplyWatch::fits(byteTime, gap) ? 2 : 0;

    const Clock::time_point totalDeadline =
        totalLimit ? after(start, uint64_t{t.readTotalPerByte} * length + t.readTotalConstant)
                   : NoDeadline;
    const Clock::time_point giveUp = noWait ? after(start, NoWaitLimitMs) : NoDeadline;
    Clock::time_point gapDeadline = NoDeadline;
    // Set by the watch: the earliest the newest byte it saw can have come,
    // which the gap runs from (also for the pull that follows it).
    Clock::time_point seenBefore = NoDeadline;
    // (`woken`: the bytes a pull takes woke us; they have only just come.)
    // A watch starts at the first bytes, or at the first that wake us
    // after one fell behind.
    bool mayWatch = true;
    // The watch has just looked: what came up to then came within the
    // limits, however late the look ran.
    bool takeWaiting = false;

    auto* bytes = static_cast<uint8_t*>(buffer);
    uint32_t count = 0;

    for (bool first = true; count < length; first = false) {
        const Clock::time_point deadline = std::min(totalDeadline, gapDeadline);
        // Checked on every pass, whatever came: a server that sends nothing
        // but Telnet commands must not hold the read past its limit or a stop.
        if (!first && !takeWaiting && (Clock::now() >= std::min(deadline, giveUp) || halted())) {
            break;
        }
        takeWaiting = false;
        if (fd_ < 0) {
            // A lost connection reads as a silent line while it comes back.
            if (reconnectIfDue(deadline)) {
                continue;
            }
            if (noWait || wait(-1, 0, std::min(deadline, nextAttempt_)) < 0) {
                break;
            }
            continue;
        }
        const long n = pull(bytes + count, length - count);
        if (n == Lost) {
            lose();
            continue;
        }
        if (n > 0) {
            count += static_cast<uint32_t>(n);
            const Clock::time_point seen = std::min(Clock::now(), seenBefore);
            seenBefore = NoDeadline;
            if (gapLimit) {
                gapDeadline = seen + gap;
            }
            // A Telnet pull decodes no more than it has room for, which
            // doubled 0xFF and commands can leave short: what waits is
            // taken before the watch begins.
            int waiting = 0;
            if (watches > 0 && mayWatch && count < length &&
                (ioctl(fd_, FIONREAD, &waiting) != 0 || waiting == 0)) {
                --watches;
                mayWatch = false;
                uint32_t taken = 0;
                const bool goOn = watchReply(bytes + count, length - count, taken, seen, woken,
                                             byteTime, gap, totalDeadline, seenBefore);
                count += taken;
                if (goOn) {
                    gapDeadline = seenBefore + gap;
                    takeWaiting = fd_ >= 0;
                } else if (fd_ >= 0 && count < length) {
                    // What came before the stop or the limit is taken, as a
                    // reader woken at each piece would have taken it.
                    const long more = pull(bytes + count, length - count);
                    if (more > 0) {
                        count += static_cast<uint32_t>(more);
                    } else if (more == Lost) {
                        lose();
                    }
                    break;
                } else {
                    break;
                }
            }
            continue;
        }
        if (n == 0) {
            continue;  // only Telnet commands came
        }
        if (noWait) {
            break;
        }
        seenBefore = NoDeadline;
        if (wait(fd_, POLLIN, deadline) < 0) {
            lose();
        }
        woken = true;
        mayWatch = true;
    }
    return count;
}

bool NetworkSerialDevice::watchReply(uint8_t* into, uint32_t missing, uint32_t& taken,
                                     Clock::time_point seen, bool justArrived,
                                     Clock::duration byteTime, Clock::duration gap,
                                     Clock::time_point totalDeadline, Clock::time_point& gapFrom)
{
    ReplyWatch watch(missing, byteTime, gap, seen, justArrived);
    taken = 0;
    // A look found the reply short and took what had come. A server that
    // holds small segments until they are acknowledged (one that sends
    // without TCP_NODELAY, or a device server that collects a piece) sends
    // what it holds as soon as that acknowledgement reaches it: the next
    // look is the first arrival (or the watch's own time if nothing comes),
    // and the one after it sleeps again while the rest accumulates. Taking
    // bytes that waited for the read is such an acknowledgement too.
    bool behind = !justArrived;
    for (;;) {
        const Clock::time_point next = std::min(watch.nextLook(), totalDeadline);
        // Otherwise only the wake-up descriptors are watched, not the
        // socket: the bytes are counted at the look, not on arrival. The
        // last byte is the exception: no look could find it sooner than
        // its arrival, and a server that holds segments sends a lone one.
        if (behind || missing - taken == 1) {
            const int events = wait(fd_, POLLIN, next);
            if (events < 0) {
                gapFrom = watch.gapFrom();
                return true;  // the pull finds out what is wrong
            }
            if (events == 0 && halted()) {
                return false;
            }
        } else if (!platformwait::sleepUntil(next, stopDescriptor.load(), interrupted_)) {
            return false;
        }
        int waiting = 0;
        if (ioctl(fd_, FIONREAD, &waiting) != 0 || waiting < 0) {
            gapFrom = watch.gapFrom();
            return true;
        }
        // Whatever waits is taken at the look rather than counted in the
        // socket: only a read acknowledges it, and on a Telnet line only
        // decoding tells data from commands and doubled 0xFF.
        if (waiting > 0) {
            const long n = pull(into + taken, missing - taken);
            if (n == Lost) {
                lose();
                gapFrom = watch.gapFrom();
                return true;
            }
            taken += n > 0 ? static_cast<uint32_t>(n) : 0;
        }
        if (watch.look(Clock::now(), taken) != ReplyWatch::Step::Sleep) {
            gapFrom = watch.gapFrom();
            return true;
        }
        if (Clock::now() >= totalDeadline) {
            return false;
        }
        behind = !behind;
    }
}

bool NetworkSerialDevice::write(const void* data, uint32_t length)
{
    const PortTimeouts& t = timeouts_;
    const bool totalLimit = t.writeTotalPerByte != 0 || t.writeTotalConstant != 0;
    const Clock::time_point deadline =
        totalLimit
            ? after(Clock::now(), uint64_t{t.writeTotalPerByte} * length + t.writeTotalConstant)
            : NoDeadline;
    if (!reconnectIfDue(deadline)) {
        answer_.wrote(Clock::now(), 0, Clock::duration::zero(), false);
        return false;
    }
    const Clock::time_point begun = Clock::now();
    const auto* bytes = static_cast<const uint8_t*>(data);
    std::vector<uint8_t> out;
    if (telnet_) {
        out.reserve(length + length / 8 + 8);
        session_.encode(bytes, length, out);
    } else {
        out.assign(bytes, bytes + length);
    }
    const bool sent = send(out, deadline);
    answer_.wrote(begun, sent ? length : 0, std::chrono::nanoseconds(byteTimeNs_.load()), sent);
    return sent;
}

}  // namespace

std::string deviceName(const char* modeText)
{
    const std::string text(modeText);
    const size_t end = text.rfind(": baud=");
    return end == std::string::npos ? text : text.substr(0, end);
}

bool isNetworkName(const std::string& name)
{
    return name.find("://") != std::string::npos;
}

bool parseNetworkName(const std::string& name, NetworkName& out, std::string& error)
{
    const size_t schemeEnd = name.find("://");
    if (schemeEnd == std::string::npos) {
        error = "not a network line name";
        return false;
    }
    std::string scheme = name.substr(0, schemeEnd);
    std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    NetworkName parsed;
    if (scheme == "tcp") {
        parsed.kind = NetworkName::Kind::Raw;
    } else if (scheme == "rfc2217") {
        parsed.kind = NetworkName::Kind::Telnet;
    } else {
        error = "unknown scheme '" + scheme + "://' (tcp:// or rfc2217://)";
        return false;
    }
    std::string rest = name.substr(schemeEnd + 3);
    const size_t query = rest.find('?');
    if (query != std::string::npos) {
        const std::string option = rest.substr(query + 1);
        rest.erase(query);
        if (option.compare(0, 4, "gap=") != 0 ||
            !decimal(option.substr(4), MaxNetworkGapMs, parsed.gapMs)) {
            error = "unknown option '" + option + "' (gap=MS, 0 to " +
                    std::to_string(MaxNetworkGapMs) + ")";
            return false;
        }
    }
    size_t portStart = 0;
    if (!rest.empty() && rest[0] == '[') {
        const size_t close = rest.find(']');
        if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':') {
            error = "expected [ADDRESS]:PORT";
            return false;
        }
        parsed.host = rest.substr(1, close - 1);
        portStart = close + 2;
    } else {
        const size_t colon = rest.rfind(':');
        if (colon == std::string::npos) {
            error = "expected HOST:PORT";
            return false;
        }
        parsed.host = rest.substr(0, colon);
        if (parsed.host.find(':') != std::string::npos) {
            error = "an IPv6 address goes in brackets: [ADDRESS]:PORT";
            return false;
        }
        portStart = colon + 1;
    }
    parsed.port = rest.substr(portStart);
    uint32_t port = 0;
    if (parsed.host.empty()) {
        error = "no host";
        return false;
    }
    if (!decimal(parsed.port, 65535, port) || port == 0) {
        error = "bad port '" + parsed.port + "' (1 to 65535)";
        return false;
    }
    out = parsed;
    return true;
}

std::unique_ptr<SerialDevice> openNetworkDevice(const std::string& name, std::string& reason)
{
    NetworkName parsed;
    if (!parseNetworkName(name, parsed, reason)) {
        return nullptr;
    }
    auto device = std::make_unique<NetworkSerialDevice>(parsed);
    if (!device->connect(after(Clock::now(), OpenLimitMs), reason)) {
        return nullptr;
    }
    return device;
}

}  // namespace mirel_varno
