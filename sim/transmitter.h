#ifndef VARNO_SIM_TRANSMITTER_H
#define VARNO_SIM_TRANSMITTER_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace varno_sim {

// The units' side of the line: frames waiting to go out, each from a start
// time on, one after another (a unit does not talk over another), and, when
// paced, one byte per byte time, as a real line at that baud rate would
// deliver them: a byte is handed over when it has been sent whole, a byte
// time after it started. Works on times passed in, so it can be tested without a clock.
class Transmitter {
public:
    // byteNs: the time one byte takes on the line; 0 sends without pacing.
    explicit Transmitter(int64_t byteNs) : byteNs_(byteNs) {}

    // Queues a frame to start no earlier than `startNs`; it moves back to
    // the first quiet stretch of line long enough for it.
    void schedule(std::vector<uint8_t> bytes, int64_t startNs);

    // The bytes whose time has come by nowNs, in line order.
    std::vector<uint8_t> due(int64_t nowNs);

    // When due() next has bytes to give (no earlier than `minBurstNs` after
    // nowNs, so that paced bytes go out in small bursts rather than a
    // wake-up each), or -1 when nothing waits or the line is blocked.
    int64_t nextDeadline(int64_t nowNs, int64_t minBurstNs) const;

    // Bytes that due() handed out but the line did not take; they go
    // first next time. Until then the line is blocked: the caller waits
    // for it to take bytes again rather than for a time.
    void unsent(const uint8_t* bytes, size_t count);
    bool blocked() const { return !carry_.empty(); }

    size_t queuedFrames() const { return frames_.size(); }
    // Drops everything not yet sent.
    void clear();

    int64_t byteNs() const { return byteNs_; }
    int64_t durationNs(size_t bytes) const { return byteNs_ * static_cast<int64_t>(bytes); }

private:
    struct Frame {
        std::vector<uint8_t> bytes;
        int64_t startNs;
        size_t sent;
    };

    // When byte `index` of the frame starts on the line; the end of the
    // frame for index == its size.
    int64_t byteDueNs(const Frame& f, size_t index) const
    {
        return f.startNs + byteNs_ * static_cast<int64_t>(index);
    }
    // When the host has byte `index`: once its stop bit is through, a byte
    // time after it started (at the start time itself without pacing).
    int64_t arrivalNs(const Frame& f, size_t index) const { return byteDueNs(f, index + 1); }

    int64_t byteNs_;
    std::deque<Frame> frames_;  // sorted by start time
    std::vector<uint8_t> carry_;
};

}  // namespace varno_sim

#endif
