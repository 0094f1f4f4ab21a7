#include "protocol/serialportvarnoprotocol.h"

#include <algorithm>

#include "base/clock.h"

namespace mirel_varno {

namespace {

constexpr int32_t LineBaudRate = 9600;
constexpr uint32_t ReadSlackMs = 40;
// An error reply carries the variable and its code; the header of one is
// believed without its checksum only for a length that small.
constexpr uint32_t MaxUncheckedErrorLength = 16;

}  // namespace

SerialPortVarnoProtocol::SerialPortVarnoProtocol(const char* deviceName)
{
    setLastError(NoError);
    open(deviceName, LineBaudRate, 'N', 8, OneStopBit);
}

SerialPortVarnoProtocol::~SerialPortVarnoProtocol() = default;

bool SerialPortVarnoProtocol::reopen()
{
    wxCriticalSectionLocker hold(lock_);
    return name() != nullptr && open(name(), LineBaudRate, 'N', 8, OneStopBit);
}

void SerialPortVarnoProtocol::sendFrame(const FrameHeader& header, const uint8_t* data,
                                        uint32_t count)
{
    wxCriticalSectionLocker hold(lock_);
    setLastError(NoError);
    clearErrors();
    // Whatever waits now is left over from an earlier exchange (a reply
    // that came too late, noise): it must not be taken for this one's.
    discardInput();
    pending_.clear();
    // The frame goes in one write: no gap between header and data on a
    // busy machine, one wake-up of the line's driver, and a failed header
    // cannot be hidden by a data write that succeeds after it. A failed
    // write shows in lastError(); the unit then hears nothing and the
    // receive that follows reports it.
    frame_.assign(header.bytes, header.bytes + FrameHeaderSize);
    if (data != nullptr) {
        frame_.insert(frame_.end(), data, data + count);
    }
    write(frame_.data(), static_cast<uint32_t>(frame_.size()));
}

void SerialPortVarnoProtocol::readExactly(uint8_t* buffer, uint32_t count)
{
    wxCriticalSectionLocker hold(lock_);
    // 1 ms per expected byte plus slack, checked between port reads.
    const uint64_t limit = static_cast<uint64_t>(count) + ReadSlackMs;
    const uint32_t start = tickCount();
    receivedCount_ = takePending(buffer, count);
    if (receivedCount_ >= count) {
        return;
    }
    for (;;) {
        const uint32_t elapsed = tickCount() - start;
        if (elapsed > limit) {
            break;
        }
        receivedCount_ += read(buffer + receivedCount_, count - receivedCount_);
        if (receivedCount_ >= count) {
            return;
        }
        if (stopRequested()) {
            break;  // the rest is not waited for: the user wants to stop
        }
    }
    const Error code = receivedCount_ == 0 ? NoAnswer : NotAllDataReceived;
    setLastError(code);
    VARNO_RAISE(code);
}

uint32_t SerialPortVarnoProtocol::takePending(uint8_t* buffer, uint32_t count)
{
    const uint32_t n = static_cast<uint32_t>(std::min<size_t>(count, pending_.size()));
    std::copy(pending_.begin(), pending_.begin() + n, buffer);
    pending_.erase(pending_.begin(), pending_.begin() + n);
    return n;
}

void SerialPortVarnoProtocol::discardExactly(uint32_t count)
{
    uint8_t scratch[1024];
    count -= takePending(scratch, std::min<uint32_t>(count, sizeof scratch));
    const uint64_t limit = static_cast<uint64_t>(count) + ReadSlackMs;
    const uint32_t start = tickCount();
    uint32_t discarded = 0;
    while (discarded < count && tickCount() - start <= limit) {
        const uint32_t chunk = std::min<uint32_t>(count - discarded, sizeof scratch);
        const uint32_t n = read(scratch, chunk);
        if (n == 0 || stopRequested()) {
            break;  // the line has gone quiet: nothing more to take off
        }
        discarded += n;
    }
}

void SerialPortVarnoProtocol::readHeader(bool resynchronise)
{
    wxCriticalSectionLocker hold(lock_);
    setLastError(NoError);
    receivedCount_ = 0;
    readExactly(replyHeader_.bytes, FrameHeaderSize);
    if (replyHeader_.checksumValid()) {
        frameReceived();
        return;
    }
    // A damaged header's length means nothing: do not wait for it. Only an
    // error reply is taken without its checksum, and only as far as an error
    // reply can reach.
    const bool errorReply =
        replyHeader_.function() == static_cast<uint8_t>(FunctionCode::ErrorReply);
    if (errorReply && replyHeader_.length() <= MaxUncheckedErrorLength) {
        return;
    }
    if (resynchronise && findHeaderFurtherOn()) {
        return;
    }
    receivedCount_ = 0;
    setLastError(HeaderCorrupted);
    VARNO_RAISE(HeaderCorrupted);
}

bool SerialPortVarnoProtocol::findHeaderFurtherOn()
{
    // Noise, or the tail of a frame that was still arriving when the
    // request went out, came first: the answer may follow right behind it.
    // Look in what comes within a header's own time limit.
    constexpr size_t MaxLooked = 256;
    std::vector<uint8_t> seen(replyHeader_.bytes, replyHeader_.bytes + FrameHeaderSize);
    const uint64_t limit = FrameHeaderSize + ReadSlackMs;
    const uint32_t start = tickCount();
    while (seen.size() < MaxLooked && tickCount() - start <= limit) {
        uint8_t chunk[FrameHeaderSize];
        const uint32_t n = read(chunk, sizeof chunk);
        if (n == 0) {
            return false;
        }
        seen.insert(seen.end(), chunk, chunk + n);
        for (size_t at = 1; at + FrameHeaderSize <= seen.size(); ++at) {
            FrameHeader candidate;
            std::copy(seen.begin() + at, seen.begin() + at + FrameHeaderSize, candidate.bytes);
            if (candidate.checksumValid()) {
                replyHeader_ = candidate;
                pending_.assign(seen.begin() + at + FrameHeaderSize, seen.end());
                frameReceived();
                return true;
            }
        }
    }
    return false;
}

bool SerialPortVarnoProtocol::readBlock()
{
    const uint32_t length = replyHeader_.length();
    if (length == 0) {
        receivedCount_ = 0;
        return true;
    }
    if (length > MaxReplyLength) {
        // It cannot be held, but it is taken off the line so that the next
        // frame starts on a frame boundary.
        discardExactly(length + FrameChecksumSize);
        receivedCount_ = 0;
        return false;
    }
    readExactly(replyData_.data(), length + FrameChecksumSize);
    receivedCount_ = length + FrameChecksumSize;
    return true;
}

void SerialPortVarnoProtocol::receiveReply()
{
    readHeader(false);
    if (!readBlock()) {
        setLastError(DataCorrupted);
        VARNO_RAISE(DataCorrupted);
    }
    checkReply();
}

bool SerialPortVarnoProtocol::answersVariable(int32_t variable) const
{
    if (variable == AnyVariable ||
        replyHeader_.function() == static_cast<uint8_t>(FunctionCode::ErrorReply)) {
        return true;
    }
    const uint32_t length = replyHeader_.length();
    // Without an echo, or with a damaged block, the reply is the unit's and
    // its own fault is reported (no value, DataCorrupted).
    if (length == 0 || receivedCount_ < length + FrameChecksumSize ||
        frameChecksum(replyData_.data(), length) != getLE32(replyData_.data() + length)) {
        return true;
    }
    return replyData_[0] == static_cast<uint8_t>(variable);
}

void SerialPortVarnoProtocol::receiveAnswer(const UnitAddress& unit, int32_t variable,
                                            const UnitAddress* alsoFrom)
{
    for (uint32_t skipped = 0;; ++skipped) {
        readHeader(true);
        const UnitAddress source = replyHeader_.source();
        if (source == unit || (alsoFrom != nullptr && source == *alsoFrom)) {
            if (!readBlock()) {
                setLastError(DataCorrupted);
                VARNO_RAISE(DataCorrupted);
            }
            if (answersVariable(variable)) {
                checkReply();
                return;
            }
            // The unit's answer to an earlier request, come too late.
        } else if (replyHeader_.length() > 0) {
            // Another unit's frame: off the line whole, whatever it holds.
            discardExactly(replyHeader_.length() + FrameChecksumSize);
        }
        receivedCount_ = 0;
        if (skipped == MaxSkippedFrames) {
            // A line that keeps talking about other things: the answer
            // has not come.
            setLastError(NoAnswer);
            VARNO_RAISE(NoAnswer);
        }
    }
}

void SerialPortVarnoProtocol::checkReply()
{
    const Error outcome = replyOutcome(replyHeader_, replyData_.data(), receivedCount_);
    setLastError(outcome);
    if (outcome != NoError) {
        VARNO_RAISE(outcome);
    }
}

ReplyValue SerialPortVarnoProtocol::lastReplyValue()
{
    ReplyValue value;
    const Error outcome =
        findReplyValue(replyHeader_, replyData_.data(), receivedCount_, value);
    if (outcome != NoError) {
        setLastError(outcome);
        VARNO_RAISE(outcome);
    }
    return value;
}

}  // namespace mirel_varno
