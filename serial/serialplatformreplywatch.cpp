#include "serial/serialplatformreplywatch.h"

#include <algorithm>

namespace mirel_varno {

namespace {

// Beyond this lag behind the line speed (the newest byte earlier than the
// look by more than it), the next look could not cover two bytes before
// the gap is due: waking at each byte is then no dearer.
ReplyWatch::Clock::duration tolerance(ReplyWatch::Clock::duration byte,
                                      ReplyWatch::Clock::duration gap)
{
    return gap - 2 * byte;
}

}  // namespace

bool ReplyWatch::fits(Clock::duration byteTime, Clock::duration gap)
{
    return byteTime > Clock::duration::zero() && tolerance(byteTime, gap) >= byteTime;
}

ReplyWatch::ReplyWatch(uint32_t missing, Clock::duration byteTime, Clock::duration gap,
                       Clock::time_point seen, bool justArrived)
    : missing_(missing),
      byte_(byteTime),
      gap_(gap),
      // The gap, as ever, runs from the sight of the bytes taken.
      newest_(seen),
      nextByte_(justArrived ? seen + byteTime : seen)
{
    next_ = std::min(nextByte_ + (missing_ - 1) * byte_ + Margin, newest_ + gap_);
}

ReplyWatch::Step ReplyWatch::look(Clock::time_point now, uint32_t waiting)
{
    if (waiting >= missing_) {
        return Step::Complete;
    }
    const bool grew = waiting > waiting_;
    if (grew) {
        // The new bytes came after the earliest moment the first of them
        // could, one byte time apart at the least.
        newest_ = std::min(now, nextByte_ + (waiting - waiting_ - 1) * byte_);
        waiting_ = waiting;
        nextByte_ = std::max(now, newest_ + byte_);
    } else {
        nextByte_ = std::max(now, nextByte_);
    }
    if (!grew || now - newest_ > tolerance(byte_, gap_)) {
        return Step::Slow;
    }
    next_ = std::min(nextByte_ + (missing_ - waiting_ - 1) * byte_ + Margin, newest_ + gap_);
    return next_ > now ? Step::Sleep : Step::Slow;
}

void AnswerWindow::wrote(Clock::time_point begun, uint32_t length, Clock::duration byteTime,
                         bool complete)
{
    const Clock::time_point sentBy =
        std::max(begun, Clock::time_point(Clock::duration(sentBy_.load()))) + length * byteTime;
    sentBy_ = sentBy.time_since_epoch().count();
    firstAnswer_ = complete && byteTime > Clock::duration::zero()
                       ? (sentBy + byteTime).time_since_epoch().count()
                       : 0;
}

AnswerWindow::Pause AnswerWindow::plan(Clock::time_point pauseEnd) const
{
    if (Clock::time_point(Clock::duration(firstAnswer_.load())) < pauseEnd) {
        return Pause::Plain;
    }
    return quiet_ ? Pause::Listen : Pause::Check;
}

}  // namespace mirel_varno
