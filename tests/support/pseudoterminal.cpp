#include "support/pseudoterminal.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>

namespace varno_test {

PseudoTerminal::PseudoTerminal()
{
    char name[256] = {};
    termios raw{};
    cfmakeraw(&raw);
    if (openpty(&master_, &slaveKeeper_, name, &raw, nullptr) != 0) {
        throw std::runtime_error("openpty failed");
    }
    slavePath_ = name;
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(slaveKeeper_, F_SETFD, FD_CLOEXEC);
}

PseudoTerminal::~PseudoTerminal()
{
    for (const std::string& link : links_) {
        unlink(link.c_str());
    }
    if (slaveKeeper_ >= 0) {
        close(slaveKeeper_);
    }
    if (master_ >= 0) {
        close(master_);
    }
}

void PseudoTerminal::linkAs(const std::string& name)
{
    unlink(name.c_str());
    if (symlink(slavePath_.c_str(), name.c_str()) != 0) {
        throw std::runtime_error("symlink failed: " + name);
    }
    links_.push_back(name);
}

void PseudoTerminal::write(const std::vector<uint8_t>& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw std::runtime_error("write to pseudo-terminal failed");
        }
        done += static_cast<size_t>(n);
    }
}

std::vector<uint8_t> PseudoTerminal::read(size_t count, int timeoutMs)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::vector<uint8_t> out;
    while (out.size() < count) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            break;
        }
        pollfd p{master_, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            break;
        }
        uint8_t buf[4096];
        size_t want = count - out.size();
        ssize_t n = ::read(master_, buf, want < sizeof buf ? want : sizeof buf);
        if (n <= 0) {
            break;
        }
        out.insert(out.end(), buf, buf + n);
    }
    return out;
}

void PseudoTerminal::drain()
{
    read(1u << 20, 0);
    pollfd p{master_, POLLIN, 0};
    while (poll(&p, 1, 0) > 0 && (p.revents & POLLIN)) {
        uint8_t buf[4096];
        if (::read(master_, buf, sizeof buf) <= 0) {
            break;
        }
    }
}

}  // namespace varno_test
