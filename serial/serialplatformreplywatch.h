#ifndef MIREL_VARNO_SERIAL_SERIALPLATFORMREPLYWATCH_H
#define MIREL_VARNO_SERIAL_SERIALPLATFORMREPLYWATCH_H

// How a read follows a reply that has begun without waking at every byte.
// Internal to the library; pure, so that its decisions can be tested on
// made-up arrival times.

#include <atomic>
#include <cstdint>

#include "serial/serialplatformwait.h"

namespace mirel_varno {

// A reply on a line of known speed arrives one byte per byte time. Once its
// first bytes are in, the reader sleeps until the bytes it still misses can
// all be there and looks at how many wait in the driver (without taking
// them), instead of waking at each arrival. Every look is made no later
// than the inter-byte gap after the earliest moment the last byte seen can
// have come, so that no pause longer than the gap can hide between two
// looks: a look either finds the bytes that an unbroken line delivers, and
// the reader sleeps on, or it finds fewer, and the reader goes back to
// watching byte by byte (the reply is slower than the line allows), with
// the gap counted from the last look that found new bytes, as a reader
// woken by those bytes would have counted it.
//
// Times are on the monotonic clock; the watch never reads a clock itself.
// Thread safety: none needed; one read owns one watch.
class ReplyWatch {
public:
    using Clock = platformwait::Clock;

    enum class Step {
        Sleep,     // sleep until nextLook()
        Complete,  // every missing byte is waiting: take them in one read
        Slow,      // fewer than an unbroken line delivers: watch byte by byte
    };

    // Whether a line of this byte time can be followed so under this gap:
    // a look must be able to cover a few bytes before the gap is due.
    static bool fits(Clock::duration byteTime, Clock::duration gap);

    // `missing` bytes are still to come; the bytes taken so far were seen
    // at `seen`, from which the gap runs. `justArrived`: the reader was
    // woken by them, so the next cannot come before a byte time later;
    // otherwise they may have waited, and the next may follow at once.
    ReplyWatch(uint32_t missing, Clock::duration byteTime, Clock::duration gap,
               Clock::time_point seen, bool justArrived);

    Clock::time_point nextLook() const { return next_; }

    // A look at `now` found `waiting` bytes in the driver.
    Step look(Clock::time_point now, uint32_t waiting);

    // The moment the gap runs from once the watch is given up: the
    // earliest the newest byte seen can have come (or the first bytes'
    // sight, when no look has found more).
    Clock::time_point gapFrom() const { return newest_; }

    // Slack after the moment the last missing byte can first be in: the
    // driver's own delivery time.
    static constexpr Clock::duration Margin = std::chrono::microseconds(500);

private:
    uint32_t missing_;
    Clock::duration byte_;
    Clock::duration gap_;
    uint32_t waiting_ = 0;
    // The earliest moment the newest byte seen can have arrived: no look
    // may come later than this plus the gap.
    Clock::time_point newest_;
    // The earliest moment the next byte not yet seen can arrive.
    Clock::time_point nextByte_;
    Clock::time_point next_;
};

// When an answer to what a device last wrote can first be in: its bytes
// leave one byte time each, after those written before them, and the
// answer's first byte takes one more. Every read begins with a pause; when
// no answer can come within it, the reader may wait for the first byte
// instead of waking at the pause's end and again at the byte. Lines that
// deliver sooner than that (no transmission times, an echo of the request)
// are caught by the first byte that comes within such a pause: the next
// reads pause as ever until one finds the pause quiet again.
// Safe for one writer and one reader at a time on different threads.
class AnswerWindow {
public:
    using Clock = platformwait::Clock;

    enum class Pause {
        Plain,   // an answer may come within the pause: sleep through it
        Check,   // sleep through it, and tell heard() whether bytes came
        Listen,  // wait for the first byte; tell heard() if it came early
    };

    // `length` bytes were handed to the line from `begun` on; `complete`:
    // all of them. After a write that failed every pause is Plain.
    void wrote(Clock::time_point begun, uint32_t length, Clock::duration byteTime, bool complete);

    // How to spend a pause ending at `pauseEnd` before a read.
    Pause plan(Clock::time_point pauseEnd) const;

    // Whether bytes came within the last pause planned Check or Listen.
    void heard(bool withinPause) { quiet_ = !withinPause; }

private:
    // Nanoseconds of Clock.
    std::atomic<int64_t> sentBy_{0};
    std::atomic<int64_t> firstAnswer_{0};
    std::atomic<bool> quiet_{true};
};

}  // namespace mirel_varno

#endif
