#include "support/lineserver.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <vector>

#include "support/childprocess.h"

namespace varno_test {

namespace {

constexpr uint8_t IAC = 255, SB = 250, SE = 240, NOP = 241, WILL = 251, WONT = 252, DO = 253,
                  DONT = 254;
constexpr uint8_t ComPort = 44, SetControl = 5, PurgeData = 12, ServerOffset = 100;
constexpr uint8_t DtrOn = 8, DtrOff = 9;

int64_t nowNs()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

void sleepUntilNs(int64_t at)
{
    const timespec t{static_cast<time_t>(at / 1'000'000'000), static_cast<long>(at % 1'000'000'000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) != 0) {
    }
}

// The data bytes among what a Telnet client sends, across calls: commands,
// option talk and subnegotiations are not part of a request.
class TelnetData {
public:
    size_t count(const uint8_t* bytes, size_t size)
    {
        size_t data = 0;
        for (size_t i = 0; i < size; ++i) {
            const uint8_t b = bytes[i];
            switch (state_) {
            case State::Data:
                if (b == IAC) {
                    state_ = State::Iac;
                } else {
                    ++data;
                }
                break;
            case State::Iac:
                data += b == IAC ? 1 : 0;
                state_ = b == SB                                         ? State::Sub
                         : b == WILL || b == WONT || b == DO || b == DONT ? State::Option
                                                                          : State::Data;
                break;
            case State::Option: state_ = State::Data; break;
            case State::Sub: state_ = b == IAC ? State::SubIac : State::Sub; break;
            case State::SubIac: state_ = b == SE ? State::Data : State::Sub; break;
            }
        }
        return data;
    }

private:
    enum class State { Data, Iac, Option, Sub, SubIac };
    State state_ = State::Data;
};

}  // namespace

RunFirst::RunFirst() : policy_(SCHED_OTHER), param_{}
{
    pthread_getschedparam(pthread_self(), &policy_, &param_);
    const sched_param first{sched_get_priority_min(SCHED_FIFO)};
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &first);
}

RunFirst::~RunFirst()
{
    pthread_setschedparam(pthread_self(), policy_, &param_);
}

LoopbackListener::LoopbackListener(const std::string& address, int backlog)
{
    const bool v6 = address.find(':') != std::string::npos;
    fd_ = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_storage storage{};
    socklen_t size = 0;
    if (v6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&storage);
        a->sin6_family = AF_INET6;
        inet_pton(AF_INET6, address.c_str(), &a->sin6_addr);
        size = sizeof *a;
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&storage);
        a->sin_family = AF_INET;
        inet_pton(AF_INET, address.c_str(), &a->sin_addr);
        size = sizeof *a;
    }
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&storage), size) != 0 ||
        listen(fd_, backlog) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&storage), &size) != 0) {
        close();
        return;
    }
    port_ = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port
                     : reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
}

void LoopbackListener::close()
{
    for (int& f : fillers_) {
        if (f >= 0) {
            ::close(f);
        }
        f = -1;
    }
    if (fd_ >= 0) {
        ::close(fd_);
    }
    fd_ = -1;
}

int LoopbackListener::accept(int ms) const
{
    pollfd p{fd_, POLLIN, 0};
    return poll(&p, 1, ms) == 1 ? ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC) : -1;
}

bool LoopbackListener::fillQueue()
{
    sockaddr_storage self{};
    socklen_t size = sizeof self;
    if (fd_ < 0 || getsockname(fd_, reinterpret_cast<sockaddr*>(&self), &size) != 0) {
        return false;
    }
    for (int& f : fillers_) {
        f = socket(self.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (f < 0) {
            return false;
        }
        if (connect(f, reinterpret_cast<sockaddr*>(&self), size) == 0) {
            continue;
        }
        pollfd p{f, POLLOUT, 0};
        if (errno == EINPROGRESS && poll(&p, 1, 100) == 0) {
            return true;  // this one went unanswered: the queue is full
        }
    }
    return false;
}

LineServer::LineServer(Behaviour behaviour) : behaviour_(behaviour), listener_("127.0.0.1")
{
    if (!listener_.ok() || pipe2(stop_, O_CLOEXEC) != 0) {
        listener_.close();
        return;
    }
    thread_ = std::thread([this] { run(); });
}

LineServer::~LineServer()
{
    if (thread_.joinable()) {
        (void)!::write(stop_[1], "s", 1);
        thread_.join();
    }
    for (const int fd : stop_) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

void LineServer::run()
{
    for (int index = 0;; ++index) {
        pollfd p[2] = {{listener_.fd(), POLLIN, 0}, {stop_[0], POLLIN, 0}};
        if (poll(p, 2, -1) < 0 || p[1].revents != 0) {
            return;
        }
        const int fd = ::accept4(listener_.fd(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            continue;
        }
        ++connections_;
        serve(fd, index);
        ::close(fd);
    }
}

bool LineServer::sendAll(int fd, const void* data, size_t size)
{
    const auto* bytes = static_cast<const uint8_t*>(data);
    while (size > 0) {
        const ssize_t n = ::send(fd, bytes, size, MSG_NOSIGNAL);
        if (n > 0) {
            bytes += n;
            size -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        }
        // A client that reads slowly is waited for: only its going, or the
        // server's, ends the wait.
        pollfd p[2] = {{fd, POLLOUT, 0}, {stop_[0], POLLIN, 0}};
        if (poll(p, 2, -1) < 0 || p[1].revents != 0 ||
            (p[0].revents & (POLLERR | POLLHUP)) != 0) {
            return false;
        }
    }
    return true;
}

bool LineServer::drain(int fd, int ms)
{
    const int64_t end = monotonicMillis() + ms;
    for (;;) {
        const int64_t left = ms < 0 ? 1000 : end - monotonicMillis();
        if (left <= 0) {
            return true;
        }
        pollfd p[2] = {{fd, POLLIN, 0}, {stop_[0], POLLIN, 0}};
        if (poll(p, 2, static_cast<int>(left)) < 0 || p[1].revents != 0) {
            return false;
        }
        if (p[0].revents != 0) {
            uint8_t scratch[512];
            const ssize_t n = recv(fd, scratch, sizeof scratch, 0);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                return false;
            }
        }
    }
}

void LineServer::answerWith(const Answer& answer)
{
    std::lock_guard<std::mutex> hold(answerLock_);
    answer_ = answer;
}

void LineServer::servePaced(int fd, bool telnet)
{
    if (telnet && !telnetOpening(fd, true)) {
        return;
    }
    bool holdForAcks = false;
    {
        std::lock_guard<std::mutex> hold(answerLock_);
        holdForAcks = answer_.holdForAcks;
    }
    // Otherwise each byte goes out as it comes off the line, as from a
    // device server that passes bytes on at once.
    const int on = holdForAcks ? 0 : 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    TelnetData decoder;
    size_t got = 0;
    for (;;) {
        pollfd p[2] = {{fd, POLLIN, 0}, {stop_[0], POLLIN, 0}};
        if (poll(p, 2, -1) < 0 || p[1].revents != 0) {
            return;
        }
        uint8_t chunk[512];
        const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
            return;
        }
        if (n < 0) {
            continue;
        }
        got += telnet ? decoder.count(chunk, static_cast<size_t>(n)) : static_cast<size_t>(n);
        Answer answer;
        {
            std::lock_guard<std::mutex> hold(answerLock_);
            answer = answer_;
        }
        if (got < answer.requestBytes) {
            continue;
        }
        got = 0;
        if (!sendPaced(fd, answer, telnet) || answer.hangUp) {
            return;
        }
    }
}

bool LineServer::sendPaced(int fd, const Answer& answer, bool telnet)
{
    const RunFirst first;
    int64_t at = nowNs() + answer.lateUs * 1000;
    for (size_t i = 0; i < answer.bytes.size(); ++i) {
        if (i == answer.pauseBefore) {
            const int64_t end = at + answer.pauseUs * 1000;
            for (; telnet && answer.nopsInPause && at < end; at += ByteNs) {
                sleepUntilNs(at);
                const uint8_t nop[] = {IAC, NOP};
                if (!sendAll(fd, nop, sizeof nop)) {
                    return false;
                }
            }
            at = end;
        }
        // A byte that falls behind (a busy machine) goes at once, so that
        // no silence is made longer.
        sleepUntilNs(at);
        const uint8_t b = answer.bytes[i];
        const uint8_t doubled[] = {b, b};
        if (!sendAll(fd, doubled, telnet && b == IAC ? 2 : 1)) {
            return false;
        }
        at += answer.spacingNs;
    }
    return true;
}

bool LineServer::telnetOpening(int fd, bool answerControl)
{
    const uint8_t agree[] = {IAC, DO, 0, IAC, WILL, 0, IAC, DO, 3, IAC, WILL, 3, IAC, DO, ComPort};
    if (!sendAll(fd, agree, sizeof agree)) {
        return false;
    }
    // Answers each COM port command with its code plus 100 and its value,
    // until the purge that ends the client's opening has been answered.
    std::vector<uint8_t> in;
    const int64_t end = monotonicMillis() + 3000;
    size_t at = 0;
    while (monotonicMillis() < end) {
        pollfd p[2] = {{fd, POLLIN, 0}, {stop_[0], POLLIN, 0}};
        if (poll(p, 2, 50) < 0 || p[1].revents != 0) {
            return false;
        }
        uint8_t chunk[512];
        const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n == 0) {
            return false;
        }
        if (n > 0) {
            in.insert(in.end(), chunk, chunk + n);
        }
        for (;;) {
            while (at + 1 < in.size() && !(in[at] == IAC && in[at + 1] == SB)) {
                ++at;
            }
            size_t end = at + 2;
            while (end + 1 < in.size() && !(in[end] == IAC && in[end + 1] == SE)) {
                end += in[end] == IAC ? 2 : 1;
            }
            if (at + 1 >= in.size() || end + 1 >= in.size()) {
                break;  // the rest has not come yet
            }
            std::vector<uint8_t> sub(in.begin() + static_cast<long>(at),
                                     in.begin() + static_cast<long>(end) + 2);
            at = end + 2;
            if (sub.size() < 6 || sub[2] != ComPort) {
                continue;
            }
            const uint8_t code = sub[3];
            sub[3] = static_cast<uint8_t>(code + ServerOffset);
            if (code == SetControl && (sub[4] == DtrOn || sub[4] == DtrOff) && !answerControl) {
                continue;
            }
            if (!sendAll(fd, sub.data(), sub.size())) {
                return false;
            }
            if (code == PurgeData) {
                return true;
            }
        }
    }
    return false;
}

void LineServer::serve(int fd, int index)
{
    using B = Behaviour;
    const std::string complaint = Complaint;
    switch (behaviour_) {
    case B::Silent:
        drain(fd, -1);
        return;
    case B::HangUpSoon:
        drain(fd, 300);
        return;
    case B::WorkThenComplain:
        if (index == 0) {
            drain(fd, 800);
            return;
        }
        [[fallthrough]];
    case B::ComplainAndHangUp:
        sendAll(fd, complaint.data(), complaint.size());
        return;
    case B::TelnetComplainAndHangUp: {
        // Takes the client's opening first: a socket closed on unread bytes
        // is reset, and the reset would take the complaint with it.
        const uint8_t offer[] = {IAC, WILL, 3, IAC, DO, 3, IAC, WILL, 1, IAC, DO, 0, IAC, WILL, 0};
        if (sendAll(fd, offer, sizeof offer) && drain(fd, 50)) {
            sendAll(fd, complaint.data(), complaint.size());
        }
        return;
    }
    case B::TelnetNoControlAnswers:
        if (telnetOpening(fd, false)) {
            drain(fd, -1);
        }
        return;
    case B::TelnetNopFlood:
    case B::TelnetEndlessSubnegotiation: {
        if (!telnetOpening(fd, true)) {
            return;
        }
        std::vector<uint8_t> flood;
        if (behaviour_ == B::TelnetEndlessSubnegotiation) {
            flood = {IAC, SB, ComPort};
            flood.resize(4096, 0x41);
        } else {
            for (int i = 0; i < 2048; ++i) {
                flood.insert(flood.end(), {IAC, NOP});
            }
        }
        // The client's requests are read on the way so that it never waits
        // for room; the flood goes on until the client goes.
        while (sendAll(fd, flood.data(), flood.size())) {
            uint8_t scratch[512];
            while (recv(fd, scratch, sizeof scratch, MSG_DONTWAIT) > 0) {
            }
            if (behaviour_ == B::TelnetEndlessSubnegotiation) {
                flood.assign(4096, 0x41);
            }
        }
        return;
    }
    case B::PacedUnit:
    case B::TelnetPacedUnit:
        servePaced(fd, behaviour_ == B::TelnetPacedUnit);
        return;
    case B::TelnetEndlessSubnegotiationAtOpen: {
        const uint8_t agree[] = {IAC, DO, 0, IAC, WILL, 0, IAC, DO, ComPort, IAC, SB, ComPort};
        std::vector<uint8_t> flood(agree, agree + sizeof agree);
        flood.resize(8192, 0x41);
        if (sendAll(fd, flood.data(), flood.size())) {
            flood.assign(8192, 0x41);
            while (sendAll(fd, flood.data(), flood.size())) {
            }
        }
        return;
    }
    }
}

}  // namespace varno_test
