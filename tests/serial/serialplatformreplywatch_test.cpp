// The decisions of the reply watch on made-up arrival times: a read that
// looks only now and then must end where a reader woken by every byte
// ends, and look seldom while the line is healthy.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "serial/serialplatformreplywatch.h"

using namespace mirel_varno;
using Clock = ReplyWatch::Clock;
using std::chrono::microseconds;

namespace {

constexpr microseconds Byte9600{1042};  // ten bits at 9600 baud
constexpr microseconds Gap{6000};

const Clock::time_point T0 = Clock::time_point{} + std::chrono::hours(1);

// Arrival times, after the first bytes were seen at T0, of the bytes a
// read still misses; microseconds from T0.
using Arrivals = std::vector<int64_t>;

Clock::time_point at(int64_t us)
{
    return T0 + microseconds(us);
}

// A reply at line speed from `first` on, with `pauseUs` of silence added
// before byte `pauseBefore` (0-based; none when out of range), cut after
// `sent` bytes.
Arrivals paced(size_t missing, int64_t first, size_t pauseBefore = SIZE_MAX, int64_t pauseUs = 0,
               size_t sent = SIZE_MAX)
{
    Arrivals a;
    int64_t t = first;
    for (size_t i = 0; i < missing && i < sent; ++i) {
        if (i == pauseBefore) {
            t += pauseUs;
        }
        a.push_back(t);
        t += Byte9600.count();
    }
    return a;
}

// Where a reader woken at every byte ends: at the first silence longer
// than the gap, counted from T0 for the first byte.
size_t wokenAtEveryByte(const Arrivals& a)
{
    int64_t last = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] - last > Gap.count()) {
            return i;
        }
        last = a[i];
    }
    return a.size();
}

struct Outcome {
    size_t taken = 0;
    int looks = 0;
    bool watchedToTheEnd = false;  // never fell back to byte by byte
};

// The read with the watch: looks while it says so, then takes what waits
// and, if the reply fell behind, watches byte by byte from there.
Outcome watched(size_t missing, const Arrivals& a, bool justArrived = true)
{
    ReplyWatch watch(static_cast<uint32_t>(missing), Byte9600, Gap, T0, justArrived);
    Outcome out;
    Clock::time_point now;
    size_t waiting = 0;
    for (;;) {
        now = watch.nextLook();
        EXPECT_GT(now, T0);
        waiting = 0;
        while (waiting < a.size() && at(a[waiting]) <= now) {
            ++waiting;
        }
        ++out.looks;
        const ReplyWatch::Step step = watch.look(now, static_cast<uint32_t>(waiting));
        if (step == ReplyWatch::Step::Complete) {
            out.taken = missing;
            out.watchedToTheEnd = true;
            return out;
        }
        if (step == ReplyWatch::Step::Slow) {
            break;
        }
        if (out.looks > 1000) {
            ADD_FAILURE() << "the watch never ends";
            return out;
        }
    }
    out.taken = waiting;
    Clock::time_point deadline = watch.gapFrom() + Gap;
    for (size_t i = waiting; i < a.size(); ++i) {
        if (at(a[i]) > deadline) {
            break;
        }
        out.taken = i + 1;
        deadline = at(a[i]) + Gap;
    }
    return out;
}

}  // namespace

TEST(ReplyWatch, FitsOnlyWhereALookCanCoverSeveralBytes)
{
    EXPECT_TRUE(ReplyWatch::fits(Byte9600, Gap));
    EXPECT_TRUE(ReplyWatch::fits(microseconds(87), Gap));     // 115200 baud
    EXPECT_FALSE(ReplyWatch::fits(microseconds(2083), Gap));  // 4800 baud
    EXPECT_FALSE(ReplyWatch::fits(microseconds(0), Gap));
    EXPECT_FALSE(ReplyWatch::fits(Byte9600, microseconds(0)));
}

TEST(ReplyWatch, EndsWhereAReaderWokenAtEveryByteEnds)
{
    // Arrivals from T0 on; `woken`: the first bytes came at T0 and woke the
    // reader (otherwise they had waited since some time before it).
    const struct {
        const char* what;
        size_t missing;
        Arrivals arrivals;
        bool woken;
        int maxLooks;  // 0: not checked
    } rows[] = {
        {"healthy header", 13, paced(13, 1042), true, 3},
        {"healthy header found waiting", 12, paced(12, 300), false, 3},
        {"healthy data block", 6, paced(6, 1042), true, 2},
        {"healthy long block", 250, paced(250, 1042), true, 60},
        // The unit's bytes come in bursts of two, as the simulator sends them.
        {"bursts of two", 13,
         {2084, 2084, 4168, 4168, 6252, 6252, 8336, 8336, 10420, 10420, 12504, 12504, 13546}, true,
         0},
        {"pause under the gap", 13, paced(13, 1042, 6, 4000), true, 0},
        {"pause over the gap", 13, paced(13, 1042, 6, 7000), true, 0},
        {"pause over the gap, found waiting", 12, paced(12, 300, 4, 7000), false, 0},
        {"long pause", 13, paced(13, 1042, 5, 30000), true, 0},
        {"stops short", 13, paced(13, 1042, SIZE_MAX, 0, 9), true, 0},
        {"stops after its first byte", 13, {}, true, 1},
        {"slow unit, 7 ms a byte", 5, {7000, 14000, 21000, 28000, 35000}, true, 0},
        // All at once, as a test writes them: no line speed to go by.
        {"burst long after the first", 10, Arrivals(10, 150000), false, 0},
        {"burst within the gap", 10, Arrivals(10, 4000), false, 1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const Outcome out = watched(row.missing, row.arrivals, row.woken);
        EXPECT_EQ(out.taken, wokenAtEveryByte(row.arrivals));
        if (row.maxLooks > 0) {
            EXPECT_LE(out.looks, row.maxLooks);
        }
    }
}

TEST(ReplyWatch, ATrickleWithinTheGapEndsNoLaterThanItWould)
{
    // Bytes slower than the line but each within the gap cannot be told
    // from a run that paused, by counts alone: the read may end early
    // (the protocol's next read takes the rest), never late, and never
    // before the bytes that came within the gap of the first.
    for (int64_t every : {1500, 3000, 4500, 5500, 5900}) {
        SCOPED_TRACE("a byte every " + std::to_string(every) + " us");
        Arrivals a;
        for (int64_t t = every; a.size() < 10; t += every) {
            a.push_back(t);
        }
        const Outcome out = watched(a.size(), a);
        EXPECT_LE(out.taken, wokenAtEveryByte(a));
        EXPECT_GE(out.taken, static_cast<size_t>(Gap.count() / every));
    }
}

TEST(ReplyWatch, PausesAroundTheGapAnywhereInAReply)
{
    // Every position, from no pause to far over the gap, and just either
    // side of it: the silence between two bytes is a byte time plus the pause.
    for (size_t before = 1; before < 13; ++before) {
        for (int64_t pause : {0, 1000, 2500, 4000, 4700, 5200, 5500, 7100, 12000, 40000}) {
            SCOPED_TRACE("pause of " + std::to_string(pause) + " us before byte " +
                         std::to_string(before));
            const Arrivals a = paced(13, 1042, before, pause);
            const Outcome out = watched(13, a);
            EXPECT_EQ(out.taken, wokenAtEveryByte(a));
            if (pause == 0) {
                EXPECT_TRUE(out.watchedToTheEnd);
                EXPECT_LE(out.looks, 3);
            }
        }
    }
}

TEST(AnswerWindow, PlansThePauseFromWhenAnAnswerCanFirstBeIn)
{
    // A request of 19 bytes written as 14 and 5 from T0 on: its last byte
    // is through at 19 byte times, an answer's first byte one later
    // (20.84 ms), after a pause of 20 ms from the end of the writing.
    using Pause = AnswerWindow::Pause;
    const auto request = [](AnswerWindow& w, int64_t secondUs, microseconds byte) {
        w.wrote(at(0), 14, byte, true);
        w.wrote(at(secondUs), 5, byte, true);
    };
    const struct {
        const char* name;
        std::function<void(AnswerWindow&)> write;
        int64_t pauseEndUs;
        Pause plan;
    } rows[] = {
        {"no answer before the pause ends",
         [&](AnswerWindow& w) { request(w, 100, Byte9600); }, 20100, Pause::Listen},
        // The parts queue behind each other on the line.
        {"4800 baud", [&](AnswerWindow& w) { request(w, 100, 2 * Byte9600); }, 20100,
         Pause::Listen},
        {"an answer can come just before the pause ends",
         [&](AnswerWindow& w) { request(w, 100, Byte9600); }, 20900, Pause::Plain},
        {"the second part written after the first was through",
         [&](AnswerWindow& w) { request(w, 15000, Byte9600); }, 35100, Pause::Plain},
        {"a write that failed expects no answer",
         [&](AnswerWindow& w) {
             request(w, 100, Byte9600);
             w.wrote(at(200), 3, Byte9600, false);
         },
         300, Pause::Plain},
        {"a line of unknown speed", [&](AnswerWindow& w) { request(w, 100, microseconds(0)); },
         100, Pause::Plain},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        AnswerWindow w;
        row.write(w);
        EXPECT_EQ(w.plan(at(row.pauseEndUs)), row.plan);
    }

    // Bytes within a pause that should have been quiet make the next
    // pauses plain ones that are checked, until one is quiet again.
    AnswerWindow w;
    request(w, 100, Byte9600);
    w.heard(true);
    EXPECT_EQ(w.plan(at(20100)), Pause::Check);
    w.heard(true);
    EXPECT_EQ(w.plan(at(20100)), Pause::Check);
    w.heard(false);
    EXPECT_EQ(w.plan(at(20100)), Pause::Listen);
}
