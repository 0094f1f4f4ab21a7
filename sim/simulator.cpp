#include "sim/simulator.h"

#include <algorithm>

#include "sim/simconfig.h"

namespace varno_sim {

using mirel_varno::FunctionCode;

std::string hexBytes(const uint8_t* bytes, size_t count)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(count * 3);
    for (size_t i = 0; i < count; ++i) {
        if (i > 0) {
            s += ' ';
        }
        s += digits[bytes[i] >> 4];
        s += digits[bytes[i] & 0xF];
    }
    return s;
}

Simulator::Simulator(std::vector<SimUnit> units, int64_t byteNs)
    : units_(std::move(units)), transmitter_(byteNs)
{
}

SimUnit* Simulator::find(mirel_varno::UnitAddress address)
{
    for (SimUnit& u : units_) {
        if (u.address() == address) {
            return &u;
        }
    }
    return nullptr;
}

int64_t Simulator::nextDeadline(int64_t nowNs, int64_t minBurstNs) const
{
    const int64_t a = transmitter_.nextDeadline(nowNs, minBurstNs);
    const int64_t b = reader_.expiryDeadline();
    if (a < 0) {
        return b;
    }
    return b < 0 ? a : std::min(a, b);
}

void Simulator::received(const uint8_t* bytes, size_t count, int64_t nowNs)
{
    std::vector<Request> requests;
    const uint64_t droppedBefore = reader_.droppedBytes();
    reader_.feed(bytes, count, nowNs, requests);
    if (log_ && reader_.droppedBytes() != droppedBefore) {
        log_("dropped " + std::to_string(reader_.droppedBytes() - droppedBefore) +
             " byte(s) that make no request");
    }
    for (const Request& r : requests) {
        dispatch(r, nowNs);
    }
}

void Simulator::dispatch(const Request& request, int64_t nowNs)
{
    std::string text;
    if (log_) {
        text = hexBytes(request.header.bytes, mirel_varno::FrameHeaderSize);
        if (!request.data.empty()) {
            text += " | " + hexBytes(request.data.data(), request.data.size());
        }
    }
    // On a real line the request is still arriving: the answer cannot start
    // before its last byte would have come in.
    const size_t requestBytes = mirel_varno::FrameHeaderSize +
                                (request.data.empty() ? 0 : request.data.size() + mirel_varno::FrameChecksumSize);
    const int64_t start = nowNs + transmitter_.durationNs(requestBytes);

    const auto destination = request.header.destination();
    if (destination == mirel_varno::BroadcastAddress) {
        // Only Identify makes sense to every unit at once; anything else
        // would have them all talk together.
        if (request.header.function() != static_cast<uint8_t>(FunctionCode::Identify)) {
            if (log_) {
                log_("broadcast " + text + " -> ignored");
            }
            return;
        }
        for (SimUnit& unit : units_) {
            send(unit, unit.answer(request, true), start, text);
        }
        return;
    }
    SimUnit* unit = find(destination);
    if (unit == nullptr) {
        if (log_) {
            log_(formatAddress(destination) + " " + text + " -> no such unit");
        }
        return;
    }
    send(*unit, unit->answer(request), start, text);
}

void Simulator::send(const SimUnit& unit, Answer answer, int64_t startNs, const std::string& request)
{
    if (log_) {
        std::string line = formatAddress(unit.address()) + " rx " + request + " -> " + answer.note;
        if (!answer.silent) {
            line += "; tx " + hexBytes(answer.frame.data(), answer.frame.size());
            if (!answer.follow.empty()) {
                line += " + " + hexBytes(answer.follow.data(), answer.follow.size());
            }
        }
        if (answer.delayMs > 0) {
            line += " after " + std::to_string(answer.delayMs) + " ms";
        }
        if (!answer.stray.empty()) {
            line += ", " + std::to_string(answer.stray.size()) + " stray byte(s) first";
        }
        log_(line);
    }
    if (answer.silent) {
        return;
    }
    transmitter_.schedule(std::move(answer.stray), startNs);
    const int64_t at = startNs + static_cast<int64_t>(answer.delayMs) * 1'000'000;
    const int64_t followAt = at + transmitter_.durationNs(answer.frame.size());
    transmitter_.schedule(std::move(answer.frame), at);
    transmitter_.schedule(std::move(answer.follow), followAt);
}

}  // namespace varno_sim
