#ifndef MIREL_VARNO_SERIAL_SERIALPLATFORMWAIT_H
#define MIREL_VARNO_SERIAL_SERIALPLATFORMWAIT_H

// The one wait of the platform layers: a descriptor's events against a
// deadline on the monotonic clock, cut short by wake-up descriptors.
// Internal to the library.

#include <chrono>
#include <cstdint>

namespace mirel_varno {
namespace platformwait {

using Clock = std::chrono::steady_clock;
constexpr Clock::time_point NoDeadline = Clock::time_point::max();

inline Clock::time_point after(Clock::time_point start, uint64_t milliseconds)
{
    return start + std::chrono::milliseconds(milliseconds);
}

// Waits until the descriptor (-1: none, only the deadline) has one of the
// events, the deadline passes or one of the wake-up descriptors (-1 for
// none) is readable. The events seen, 0 on time-out or wake-up, -1 on
// failure. Signals neither shorten nor stretch the wait: the time left is
// taken afresh from the deadline.
int waitFor(int fd, short events, Clock::time_point deadline, int wakeA = -1, int wakeB = -1);

// Sleeps until the deadline unless one of the wake-up descriptors (-1 for
// none) is, or becomes, readable; false when cut short that way (or when
// the wait itself fails).
bool sleepUntil(Clock::time_point deadline, int wakeA, int wakeB);

}  // namespace platformwait
}  // namespace mirel_varno

#endif
