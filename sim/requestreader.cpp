#include "sim/requestreader.h"

#include <algorithm>
#include <cstring>

namespace varno_sim {

using mirel_varno::FrameChecksumSize;
using mirel_varno::FrameHeaderSize;

namespace {
// Input is taken in slices of this size, so the buffer never holds more;
// after each slice at most one unfinished request is left in it.
constexpr size_t MaxBuffered = 4096;
static_assert(FrameHeaderSize + RequestReader::MaxRequestData + FrameChecksumSize < MaxBuffered,
              "the longest request must fit in the buffer");
}  // namespace

void RequestReader::feed(const uint8_t* bytes, size_t count, int64_t nowNs, std::vector<Request>& out)
{
    while (count > 0) {
        const size_t room = MaxBuffered - buffer_.size();
        const size_t take = std::min(room, count);
        buffer_.insert(buffer_.end(), bytes, bytes + take);
        bytes += take;
        count -= take;
        lastByteNs_ = nowNs;
        extract(out);
    }
}

void RequestReader::extract(std::vector<Request>& out)
{
    size_t start = 0;
    while (buffer_.size() - start >= FrameHeaderSize) {
        Request r;
        std::memcpy(r.header.bytes, buffer_.data() + start, FrameHeaderSize);
        if (!r.header.checksumValid()) {
            ++start;
            ++dropped_;
            continue;
        }
        const uint32_t length = r.header.length();
        if (length > MaxRequestData) {
            start += FrameHeaderSize;
            dropped_ += FrameHeaderSize;
            continue;
        }
        const size_t total = FrameHeaderSize + (length > 0 ? length + FrameChecksumSize : 0);
        if (buffer_.size() - start < total) {
            break;
        }
        if (length > 0) {
            const uint8_t* data = buffer_.data() + start + FrameHeaderSize;
            r.data.assign(data, data + length);
            r.dataChecksumValid =
                mirel_varno::frameChecksum(data, length) == mirel_varno::getLE32(data + length);
        }
        out.push_back(std::move(r));
        start += total;
    }
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start));
}

bool RequestReader::expire(int64_t nowNs)
{
    if (buffer_.empty() || nowNs - lastByteNs_ < StaleAfterNs) {
        return false;
    }
    dropped_ += buffer_.size();
    buffer_.clear();
    return true;
}

int64_t RequestReader::expiryDeadline() const
{
    return buffer_.empty() ? -1 : lastByteNs_ + StaleAfterNs;
}

}  // namespace varno_sim
