#ifndef VARNO_SIM_REQUESTREADER_H
#define VARNO_SIM_REQUESTREADER_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/simunit.h"

namespace varno_sim {

// Cuts request frames out of the byte stream from the host. Garbage is
// dropped a byte at a time until ten bytes and a checksum make a valid
// header; a header announcing more data than any request carries is
// dropped whole, and so is a frame that stops arriving for a while.
class RequestReader {
public:
    // No request a host builds carries more than a few data bytes.
    static constexpr uint32_t MaxRequestData = 256;
    // A frame whose next byte is this late is given up (nanoseconds).
    static constexpr int64_t StaleAfterNs = 100'000'000;

    // Takes bytes that arrived at `nowNs` and appends complete requests.
    void feed(const uint8_t* bytes, size_t count, int64_t nowNs, std::vector<Request>& out);

    // Drops a partial frame that has been waiting since before
    // nowNs - StaleAfterNs. True when it dropped something.
    bool expire(int64_t nowNs);

    // When expire() next has something to do, or -1 when nothing waits.
    int64_t expiryDeadline() const;

    size_t pending() const { return buffer_.size(); }
    // Bytes dropped as garbage since the start.
    uint64_t droppedBytes() const { return dropped_; }

private:
    void extract(std::vector<Request>& out);

    std::vector<uint8_t> buffer_;
    int64_t lastByteNs_ = 0;
    uint64_t dropped_ = 0;
};

}  // namespace varno_sim

#endif
