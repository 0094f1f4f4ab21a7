#include "serial/serialplatformwait.h"

#include <poll.h>

#include <cerrno>
#include <ctime>

namespace mirel_varno {
namespace platformwait {

int waitFor(int fd, short events, Clock::time_point deadline, int wakeA, int wakeB)
{
    for (;;) {
        timespec left{};
        timespec* limit = nullptr;
        if (deadline != NoDeadline) {
            const auto ns =
                std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now()).count();
            if (ns <= 0) {
                return 0;
            }
            left.tv_sec = static_cast<time_t>(ns / 1000000000);
            left.tv_nsec = static_cast<long>(ns % 1000000000);
            limit = &left;
        }
        // A negative descriptor is skipped by poll().
        pollfd p[3] = {{fd, events, 0}, {wakeA, POLLIN, 0}, {wakeB, POLLIN, 0}};
        const int r = ppoll(p, 3, limit, nullptr);
        if (r > 0) {
            if (p[1].revents != 0 || p[2].revents != 0) {
                return 0;
            }
            return p[0].revents;
        }
        if (r == 0) {
            return 0;
        }
        if (errno != EINTR) {
            return -1;
        }
    }
}

bool sleepUntil(Clock::time_point deadline, int wakeA, int wakeB)
{
    for (;;) {
        const auto ns =
            std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now()).count();
        if (ns <= 0) {
            return true;
        }
        const timespec left{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        pollfd p[2] = {{wakeA, POLLIN, 0}, {wakeB, POLLIN, 0}};
        const int r = ppoll(p, 2, &left, nullptr);
        if (r == 0) {
            return true;
        }
        if (r > 0 || errno != EINTR) {
            return false;
        }
    }
}

}  // namespace platformwait
}  // namespace mirel_varno
