#include "fuzz/fakeline.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

#include "serial/serialplatform.h"

using namespace mirel_varno;

namespace varno_fuzz {

namespace {

// The control byte before each answer frame.
constexpr uint8_t MoreFollow = 0x01;     // another frame follows this one
constexpr uint8_t SourceGiven = 0x02;    // source address from the input
constexpr uint8_t AsError = 0x04;        // an error reply
constexpr uint8_t BadHeader = 0x08;      // header checksum wrong
constexpr uint8_t BadData = 0x10;        // data checksum wrong
constexpr uint8_t RawBytes = 0x20;       // input bytes as they are, no frame
constexpr uint8_t NoEcho = 0x40;         // the variable number is not echoed
constexpr uint8_t LongLength = 0x80;     // two length bytes instead of one

// Enough for a scan to see many units, bounded so one request ends.
constexpr int MaxFramesPerRequest = 64;

class FakeDevice final : public SerialDevice {
public:
    explicit FakeDevice(FakeLine& line) : line_(line) {}
    bool readSettings() override { return true; }
    bool writeSettings() override { return true; }
    bool setTimeouts(const PortTimeouts& t) override
    {
        timeouts_ = t;
        return true;
    }
    bool getTimeouts(PortTimeouts& t) override
    {
        t = timeouts_;
        return true;
    }
    uint32_t read(void* buffer, uint32_t length) override
    {
        return line_.take(static_cast<uint8_t*>(buffer), length);
    }
    bool write(const void* data, uint32_t length) override
    {
        line_.heard(static_cast<const uint8_t*>(data), length);
        return true;
    }
    bool flush() override { return true; }
    bool clearErrors() override { return true; }
    bool lost() const override { return false; }

private:
    FakeLine& line_;
    PortTimeouts timeouts_{};
};

}  // namespace

void check(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

std::vector<uint8_t> Input::bytes(size_t n)
{
    n = std::min(n, left());
    std::vector<uint8_t> out(data_ + pos_, data_ + pos_ + n);
    pos_ += n;
    return out;
}

uint32_t FakeLine::take(uint8_t* buffer, uint32_t length)
{
    if (!framed_) {
        const std::vector<uint8_t> raw = input_.bytes(length);
        std::copy(raw.begin(), raw.end(), buffer);
        return static_cast<uint32_t>(raw.size());
    }
    const uint32_t n = std::min<uint32_t>(length, static_cast<uint32_t>(pending_.size()));
    std::copy_n(pending_.begin(), n, buffer);
    pending_.erase(pending_.begin(), pending_.begin() + n);
    return n;
}

void FakeLine::heard(const uint8_t* bytes, uint32_t length)
{
    request_.insert(request_.end(), bytes, bytes + length);
    while (request_.size() >= FrameHeaderSize) {
        FrameHeader header;
        std::copy_n(request_.begin(), FrameHeaderSize, header.bytes);
        const size_t whole =
            FrameHeaderSize + (header.length() > 0 ? header.length() + FrameChecksumSize : 0);
        if (request_.size() < whole) {
            return;
        }
        const uint8_t variable = whole > FrameHeaderSize ? request_[FrameHeaderSize] : 0;
        request_.erase(request_.begin(), request_.begin() + static_cast<std::ptrdiff_t>(whole));
        if (framed_) {
            answer(header, variable);
        }
    }
}

void FakeLine::answer(const FrameHeader& request, uint8_t variable)
{
    for (int frame = 0; frame < MaxFramesPerRequest && input_.left() > 0; ++frame) {
        const uint8_t control = input_.byte();
        if (control & RawBytes) {
            const std::vector<uint8_t> raw = input_.bytes(input_.byte());
            pending_.insert(pending_.end(), raw.begin(), raw.end());
        } else {
            UnitAddress source = request.destination();
            if (control & SourceGiven) {
                const std::vector<uint8_t> a = input_.bytes(3);
                source = {a.size() > 0 ? a[0] : uint8_t{0}, a.size() > 1 ? a[1] : uint8_t{0},
                          a.size() > 2 ? a[2] : uint8_t{0}};
            }
            const auto function = (control & AsError) ? FunctionCode::ErrorReply
                                                        : static_cast<FunctionCode>(request.function());
            const auto type = static_cast<DataType>(input_.byte());
            uint32_t length = input_.byte();
            if (control & LongLength) {
                length |= static_cast<uint32_t>(input_.byte()) << 8;
            }
            std::vector<uint8_t> data = input_.bytes(length);
            length = static_cast<uint32_t>(data.size());
            if (length > 0 && !(control & NoEcho) && !(control & AsError)) {
                data[0] = variable;
            }
            FrameHeader header =
                makeHeader(HostAddress, source, function, type, static_cast<uint16_t>(length));
            if (control & BadHeader) {
                header.bytes[10] ^= 1;
            }
            pending_.insert(pending_.end(), header.bytes, header.bytes + FrameHeaderSize);
            if (length > 0) {
                data.resize(length + FrameChecksumSize);
                appendChecksum(data.data(), length);
                if (control & BadData) {
                    data[length] ^= 1;
                }
                pending_.insert(pending_.end(), data.begin(), data.end());
            }
        }
        if (!(control & MoreFollow)) {
            return;
        }
    }
}

FuzzProtocol::FuzzProtocol(FakeLine& line) : SerialPortVarnoProtocol("")
{
    // Readable for good: no pause before a read and no wait for bytes that
    // the input does not hold.
    if (pipe2(stop_, O_CLOEXEC) == 0) {
        const char byte = 1;
        check(::write(stop_[1], &byte, 1) == 1);
        setStopDescriptor(stop_[0]);
    }
    check(openDevice(std::make_unique<FakeDevice>(line), 9600));
}

FuzzProtocol::~FuzzProtocol()
{
    close();
    setStopDescriptor(-1);
    ::close(stop_[0]);
    ::close(stop_[1]);
}

}  // namespace varno_fuzz
