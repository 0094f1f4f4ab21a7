#ifndef VARNO_FUZZ_FAKELINE_H
#define VARNO_FUZZ_FAKELINE_H

// A serial line played from fuzzer input, for the protocol above it. No
// waits: the input is already waiting, and the port's stop descriptor is
// readable throughout, so that a receive that finds too little ends at
// once instead of waiting out its time limit.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "protocol/serialportvarnoprotocol.h"

namespace varno_fuzz {

// The input, taken in order by whoever asks.
class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    size_t left() const { return size_ - pos_; }
    uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    // Up to n bytes; fewer at the end.
    std::vector<uint8_t> bytes(size_t n);

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// Raw: the unit side sends the input as it is. Framed: every request the
// host completes is answered from the input with frames whose checksums
// are right unless the input asks for damage, so that the decoding behind
// the checks is reached as often as the checks.
class FakeLine {
public:
    FakeLine(Input& input, bool framed) : input_(input), framed_(framed) {}

    uint32_t take(uint8_t* buffer, uint32_t length);
    void heard(const uint8_t* bytes, uint32_t length);

private:
    void answer(const mirel_varno::FrameHeader& request, uint8_t variable);

    Input& input_;
    bool framed_;
    std::vector<uint8_t> request_;
    std::deque<uint8_t> pending_;
};

// The protocol object on a fake line.
class FuzzProtocol : public mirel_varno::SerialPortVarnoProtocol {
public:
    explicit FuzzProtocol(FakeLine& line);
    ~FuzzProtocol() override;

private:
    int stop_[2] = {-1, -1};
};

// Aborts when the condition does not hold: the fuzzer reports a crash.
void check(bool condition);

}  // namespace varno_fuzz

#endif
