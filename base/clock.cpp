#include "base/clock.h"

#include <cerrno>
#include <ctime>

namespace mirel_varno {

namespace {

timespec now()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts;
}

}  // namespace

uint64_t monotonicMs()
{
    const timespec ts = now();
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

int64_t monotonicNs()
{
    const timespec ts = now();
    return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

uint32_t tickCount()
{
    return static_cast<uint32_t>(monotonicMs());
}

void sleepMs(uint32_t milliseconds)
{
    // An absolute deadline, so that a signal does not stretch the sleep.
    timespec deadline = now();
    deadline.tv_sec += milliseconds / 1000;
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

}  // namespace mirel_varno
