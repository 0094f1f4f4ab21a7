#ifndef VARNO_TESTS_SYSCALLCOUNT_H
#define VARNO_TESTS_SYSCALLCOUNT_H

// Counts the calling thread's wake-ups: the blocking waits (poll and ppoll
// with a time-out other than zero, nanosleep, clock_nanosleep) and the read
// and recv calls it makes. Link syscallcount.cpp into the one program that counts:
// it stands in for those C library functions, passing every call on.

#include <cstdint>

namespace varno_test {

struct SyscallCounts {
    uint64_t waits = 0;
    uint64_t reads = 0;
    uint64_t writes = 0;
};

// Counts from construction to destruction, for the thread that made it.
class SyscallCounter {
public:
    SyscallCounter();
    ~SyscallCounter();
    SyscallCounter(const SyscallCounter&) = delete;
    SyscallCounter& operator=(const SyscallCounter&) = delete;

    SyscallCounts counts() const;
};

}  // namespace varno_test

#endif
