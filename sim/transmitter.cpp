#include "sim/transmitter.h"

#include <algorithm>

namespace varno_sim {

void Transmitter::schedule(std::vector<uint8_t> bytes, int64_t startNs)
{
    if (bytes.empty()) {
        return;
    }
    const int64_t length = durationNs(bytes.size());
    // Take the first gap between queued frames that is long enough; the
    // frames are sorted by start, so one pass finds it. Equal starts keep
    // the order of scheduling.
    auto it = frames_.begin();
    for (; it != frames_.end(); ++it) {
        if (startNs < it->startNs && startNs + length <= it->startNs) {
            break;
        }
        startNs = std::max(startNs, byteDueNs(*it, it->bytes.size()));
    }
    frames_.insert(it, Frame{std::move(bytes), startNs, 0});
}

std::vector<uint8_t> Transmitter::due(int64_t nowNs)
{
    std::vector<uint8_t> out;
    out.swap(carry_);
    while (!frames_.empty()) {
        Frame& f = frames_.front();
        if (arrivalNs(f, f.sent) > nowNs) {
            break;
        }
        size_t upTo = f.bytes.size();
        if (byteNs_ > 0) {
            // The bytes sent whole by now.
            const int64_t ready = (nowNs - f.startNs) / byteNs_;
            upTo = std::min(upTo, static_cast<size_t>(ready));
        }
        out.insert(out.end(), f.bytes.begin() + static_cast<std::ptrdiff_t>(f.sent),
                   f.bytes.begin() + static_cast<std::ptrdiff_t>(upTo));
        f.sent = upTo;
        if (f.sent < f.bytes.size()) {
            break;
        }
        frames_.pop_front();
    }
    return out;
}

int64_t Transmitter::nextDeadline(int64_t nowNs, int64_t minBurstNs) const
{
    if (!carry_.empty() || frames_.empty()) {
        return -1;
    }
    const Frame& f = frames_.front();
    const int64_t next = arrivalNs(f, f.sent);
    if (f.sent == 0) {
        // A frame's first byte goes as soon as it is through, exactly.
        return next;
    }
    return std::max(next, nowNs + minBurstNs);
}

void Transmitter::unsent(const uint8_t* bytes, size_t count)
{
    carry_.insert(carry_.begin(), bytes, bytes + count);
}

void Transmitter::clear()
{
    frames_.clear();
    carry_.clear();
}

}  // namespace varno_sim
