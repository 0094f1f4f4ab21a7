#include "support/syscallcount.h"

#include <dlfcn.h>
#include <poll.h>
#include <sys/socket.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

namespace {

// Plain data only: set up before any constructor runs, in every thread.
struct ThreadCounts {
    bool on;
    uint64_t waits;
    uint64_t reads;
    uint64_t writes;
};
thread_local ThreadCounts counted = {false, 0, 0, 0};

template <typename F>
F next(const char* name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

bool blocking(const timespec* t)
{
    return t == nullptr || t->tv_sec != 0 || t->tv_nsec != 0;
}

}  // namespace

extern "C" {

ssize_t read(int fd, void* buffer, size_t count)
{
    static const auto real = next<ssize_t (*)(int, void*, size_t)>("read");
    counted.reads += counted.on ? 1 : 0;
    return real(fd, buffer, count);
}

ssize_t recv(int fd, void* buffer, size_t count, int flags)
{
    static const auto real = next<ssize_t (*)(int, void*, size_t, int)>("recv");
    counted.reads += counted.on ? 1 : 0;
    return real(fd, buffer, count, flags);
}

ssize_t write(int fd, const void* buffer, size_t count)
{
    static const auto real = next<ssize_t (*)(int, const void*, size_t)>("write");
    counted.writes += counted.on ? 1 : 0;
    return real(fd, buffer, count);
}

int poll(pollfd* fds, nfds_t n, int timeout)
{
    static const auto real = next<int (*)(pollfd*, nfds_t, int)>("poll");
    counted.waits += counted.on && timeout != 0 ? 1 : 0;
    return real(fds, n, timeout);
}

int ppoll(pollfd* fds, nfds_t n, const timespec* timeout, const sigset_t* mask)
{
    static const auto real =
        next<int (*)(pollfd*, nfds_t, const timespec*, const sigset_t*)>("ppoll");
    counted.waits += counted.on && blocking(timeout) ? 1 : 0;
    return real(fds, n, timeout, mask);
}

int nanosleep(const timespec* request, timespec* left)
{
    static const auto real = next<int (*)(const timespec*, timespec*)>("nanosleep");
    counted.waits += counted.on ? 1 : 0;
    return real(request, left);
}

int clock_nanosleep(clockid_t clock, int flags, const timespec* request, timespec* left)
{
    static const auto real =
        next<int (*)(clockid_t, int, const timespec*, timespec*)>("clock_nanosleep");
    counted.waits += counted.on ? 1 : 0;
    return real(clock, flags, request, left);
}

}  // extern "C"

namespace varno_test {

SyscallCounter::SyscallCounter()
{
    counted = {true, 0, 0, 0};
}

SyscallCounter::~SyscallCounter()
{
    counted.on = false;
}

SyscallCounts SyscallCounter::counts() const
{
    return {counted.waits, counted.reads, counted.writes};
}

}  // namespace varno_test
