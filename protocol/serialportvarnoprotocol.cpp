#include "protocol/serialportvarnoprotocol.h"

#include <algorithm>

#include "base/clock.h"

namespace mirel_varno {

namespace {

constexpr int32_t LineBaudRate = 9600;
constexpr uint32_t ReadSlackMs = 40;

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
    // A failed write shows in lastError(); the unit then hears nothing and
    // the receive that follows reports it.
    write(header.bytes, FrameHeaderSize);
    if (data != nullptr) {
        write(data, count);
    }
}

void SerialPortVarnoProtocol::readExactly(uint8_t* buffer, uint32_t count)
{
    wxCriticalSectionLocker hold(lock_);
    // 1 ms per expected byte plus slack, checked between port reads.
    const uint64_t limit = static_cast<uint64_t>(count) + ReadSlackMs;
    const uint32_t start = tickCount();
    receivedCount_ = 0;
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

void SerialPortVarnoProtocol::discardExactly(uint32_t count)
{
    uint8_t scratch[1024];
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

void SerialPortVarnoProtocol::receiveReply()
{
    wxCriticalSectionLocker hold(lock_);
    setLastError(NoError);
    readExactly(replyHeader_.bytes, FrameHeaderSize);
    const uint32_t length = replyHeader_.length();
    if (length == 0) {
        receivedCount_ = 0;
    } else if (length > MaxReplyLength) {
        // A length from a damaged header means nothing: do not wait for it.
        if (!replyHeader_.checksumValid()) {
            receivedCount_ = 0;
            setLastError(HeaderCorrupted);
            VARNO_RAISE(HeaderCorrupted);
        }
        // It cannot be held, but it is taken off the line so that the next
        // exchange starts on a frame boundary.
        discardExactly(length + FrameChecksumSize);
        receivedCount_ = 0;
        setLastError(DataCorrupted);
        VARNO_RAISE(DataCorrupted);
    } else {
        readExactly(replyData_.data(), length + FrameChecksumSize);
        receivedCount_ = length + FrameChecksumSize;
    }
    checkReply();
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
