#ifndef MIREL_VARNO_BASE_CLOCK_H
#define MIREL_VARNO_BASE_CLOCK_H

#include <cstdint>

namespace mirel_varno {

// Thread safety: every function here may be called from any thread.

// Milliseconds on the monotonic clock, modulo 2^32: the tick count that
// time limits are measured with. Differences are taken modulo 2^32.
uint32_t tickCount();

// Milliseconds on the monotonic clock, without wrap-around.
uint64_t monotonicMs();

// Nanoseconds on the monotonic clock: for pacing and measuring, not limits.
int64_t monotonicNs();

// Sleeps for the given number of milliseconds on the monotonic clock,
// resuming after signals until the time is up.
void sleepMs(uint32_t milliseconds);

}  // namespace mirel_varno

#endif
