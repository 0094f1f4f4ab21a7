// Network lines: a TCP socket under the port's time-outs, with poll() for
// every wait, and a connection that comes back by itself after it is lost.

#include "serial/serialplatformnet.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

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
// Between failed reconnections: doubling from the first to the last.
constexpr uint32_t FirstBackoffMs = 250;
constexpr uint32_t LastBackoffMs = 8000;
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
        : name_(name), telnet_(name.kind == NetworkName::Kind::Telnet)
    {
    }
    ~NetworkSerialDevice() override { drop(); }

    // Connects and, for Telnet, negotiates and sets the far port's line.
    bool connect(Clock::time_point deadline, std::string& reason);

    bool readSettings() override { return true; }
    bool writeSettings() override;
    bool setTimeouts(const PortTimeouts& timeouts) override;
    bool getTimeouts(PortTimeouts& timeouts) override;
    uint32_t read(void* buffer, uint32_t length) override;
    bool write(const void* data, uint32_t length) override;
    bool flush() override { return fd_ >= 0; }
    bool clearErrors() override { return true; }
    // The connection comes back by itself: never lost for the port.
    bool lost() const override { return false; }

private:
    // What pull() found besides data.
    static constexpr long Lost = -1;
    static constexpr long Empty = -2;

    long pull(uint8_t* data, size_t room);
    bool send(const std::vector<uint8_t>& bytes, Clock::time_point deadline);
    bool negotiate(Clock::time_point deadline, std::string& reason);
    bool reconnectIfDue(Clock::time_point limit);
    void drop();
    void lose();

    NetworkName name_;
    bool telnet_;
    int fd_ = -1;
    TelnetSession session_;
    PortTimeouts timeouts_{};
    Clock::time_point nextAttempt_{};
    uint32_t backoffMs_ = FirstBackoffMs;
};

bool NetworkSerialDevice::connect(Clock::time_point deadline, std::string& reason)
{
    drop();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int resolved = getaddrinfo(name_.host.c_str(), name_.port.c_str(), &hints, &found);
    if (resolved != 0) {
        reason = "cannot resolve host '" + name_.host + "': " +
                 (resolved == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(resolved));
        return false;
    }
    int lastError = ETIMEDOUT;
    for (const addrinfo* a = found; a != nullptr && fd_ < 0; a = a->ai_next) {
        const int fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                              a->ai_protocol);
        if (fd < 0) {
            lastError = errno;
            continue;
        }
        int error = 0;
        if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            error = errno;
            if (error == EINPROGRESS) {
                const int events = waitFor(fd, POLLOUT, deadline);
                socklen_t size = sizeof error;
                if (events == 0) {
                    error = ETIMEDOUT;
                } else if (events < 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
                    error = errno;
                }
            }
        }
        if (error != 0) {
            lastError = error;
            ::close(fd);
            continue;
        }
        fd_ = fd;
    }
    freeaddrinfo(found);
    if (fd_ < 0) {
        reason = "cannot connect to " + name_.host + " port " + name_.port + ": " +
                 std::strerror(lastError);
        return false;
    }
    // Requests go out at once rather than waiting for the last one's
    // acknowledgement; a dead peer is noticed without traffic.
    setOption(fd_, IPPROTO_TCP, TCP_NODELAY, 1);
    setOption(fd_, IPPROTO_TCP, TCP_QUICKACK, 1);
    setOption(fd_, SOL_SOCKET, SO_KEEPALIVE, 1);
    setOption(fd_, IPPROTO_TCP, TCP_KEEPIDLE, KeepIdleS);
    setOption(fd_, IPPROTO_TCP, TCP_KEEPINTVL, KeepIntervalS);
    setOption(fd_, IPPROTO_TCP, TCP_KEEPCNT, KeepCount);
    setOption(fd_, IPPROTO_TCP, TCP_USER_TIMEOUT, static_cast<int>(UserTimeoutMs));
    if (telnet_ && !negotiate(deadline, reason)) {
        drop();
        return false;
    }
    return true;
}

bool NetworkSerialDevice::negotiate(Clock::time_point deadline, std::string& reason)
{
    const char* const closed = "connection closed during Telnet negotiation";
    // Takes what the server sends until `done` holds; data bytes that come
    // meanwhile answer no request of this session and are dropped. 1 when
    // done, 0 at the deadline, -1 when the connection closed.
    auto until = [&](auto done) {
        uint8_t data[512];
        while (!done()) {
            const long n = pull(data, sizeof data);
            if (n == Lost) {
                return -1;
            }
            if (n == Empty && waitFor(fd_, POLLIN, deadline) <= 0) {
                return 0;
            }
        }
        return 1;
    };

    session_ = TelnetSession();
    std::vector<uint8_t> out;
    session_.start(out);
    if (!send(out, deadline)) {
        reason = closed;
        return false;
    }
    const int answered =
        until([&] { return session_.comPort() != TelnetSession::OptionState::WantYes; });
    if (answered <= 0) {
        reason = answered < 0 ? closed
                              : "no answer to the COM port control request (RFC 2217); is the "
                                "server in telnet mode with rfc2217 enabled?";
        return false;
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
    if (!send(out, deadline) || until([&] { return session_.comPortSettled(); }) < 0) {
        reason = closed;
        return false;
    }
    return true;
}

void NetworkSerialDevice::drop()
{
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

void NetworkSerialDevice::lose()
{
    drop();
    nextAttempt_ = after(Clock::now(), backoffMs_);
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
    nextAttempt_ = after(Clock::now(), backoffMs_);
    backoffMs_ = std::min(backoffMs_ * 2, LastBackoffMs);
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
            // The line answers again: the next loss starts its back-off afresh.
            backoffMs_ = FirstBackoffMs;
            if (!telnet_) {
                return n;
            }
            std::vector<uint8_t> answers;
            const size_t count = session_.receive(raw, static_cast<size_t>(n), data, answers);
            if (!answers.empty() && !send(answers, after(Clock::now(), ReconnectLimitMs))) {
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
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const int events = waitFor(fd_, POLLOUT, deadline, stopDescriptor.load());
            if (events <= 0) {
                return false;  // no room in time: the connection may yet recover
            }
            if ((events & (POLLERR | POLLHUP | POLLNVAL)) != 0 && (events & POLLOUT) == 0) {
                lose();
                return false;
            }
            continue;
        }
        lose();
        return false;
    }
    return true;
}

bool NetworkSerialDevice::writeSettings()
{
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
    const PortTimeouts& t = timeouts_;
    const bool totalLimit = t.readTotalPerByte != 0 || t.readTotalConstant != 0;
    const bool noWait = t.readInterval == NoWaitInterval && !totalLimit;
    const bool gapLimit = t.readInterval != 0 && !noWait;

    const Clock::time_point start = Clock::now();
    const Clock::time_point totalDeadline =
        totalLimit ? after(start, uint64_t{t.readTotalPerByte} * length + t.readTotalConstant)
                   : NoDeadline;
    Clock::time_point gapDeadline = NoDeadline;

    auto* bytes = static_cast<uint8_t*>(buffer);
    uint32_t count = 0;

    while (count < length) {
        const Clock::time_point deadline = std::min(totalDeadline, gapDeadline);
        if (fd_ < 0) {
            // A lost connection reads as a silent line while it comes back.
            if (reconnectIfDue(deadline)) {
                continue;
            }
            if (noWait ||
                waitFor(-1, 0, std::min(deadline, nextAttempt_), stopDescriptor.load()) != 0 ||
                Clock::now() >= deadline || readable(stopDescriptor.load())) {
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
            if (gapLimit) {
                gapDeadline = after(Clock::now(), t.readInterval);
            }
            continue;
        }
        if (n == 0) {
            continue;  // only Telnet commands came
        }
        if (noWait) {
            break;
        }
        const int events = waitFor(fd_, POLLIN, deadline, stopDescriptor.load());
        if (events == 0) {
            break;
        }
        if (events < 0) {
            lose();
        }
    }
    return count;
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
        return false;
    }
    const auto* bytes = static_cast<const uint8_t*>(data);
    if (!telnet_) {
        return send(std::vector<uint8_t>(bytes, bytes + length), deadline);
    }
    std::vector<uint8_t> out;
    out.reserve(length + length / 8 + 8);
    session_.encode(bytes, length, out);
    return send(out, deadline);
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
