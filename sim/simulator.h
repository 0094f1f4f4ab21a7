#ifndef VARNO_SIM_SIMULATOR_H
#define VARNO_SIM_SIMULATOR_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sim/requestreader.h"
#include "sim/simunit.h"
#include "sim/transmitter.h"

namespace varno_sim {

// The units of one line and the line between them and the host: requests
// in, answers scheduled out. Times are nanoseconds on the monotonic clock,
// passed in by the caller.
class Simulator {
public:
    // byteNs: time of one byte on the line, 0 for no pacing.
    Simulator(std::vector<SimUnit> units, int64_t byteNs);

    // Takes bytes from the host and schedules what the units answer.
    void received(const uint8_t* bytes, size_t count, int64_t nowNs);
    // Drops a partial request that stopped arriving.
    void expire(int64_t nowNs) { reader_.expire(nowNs); }

    Transmitter& transmitter() { return transmitter_; }
    // When the loop must wake next (-1: only for input).
    int64_t nextDeadline(int64_t nowNs, int64_t minBurstNs) const;

    std::vector<SimUnit>& units() { return units_; }
    SimUnit* find(mirel_varno::UnitAddress address);

    // Receives one log line per exchange when set.
    void setLog(std::function<void(const std::string&)> log) { log_ = std::move(log); }

    uint64_t droppedBytes() const { return reader_.droppedBytes(); }

private:
    void dispatch(const Request& request, int64_t nowNs);
    void send(const SimUnit& unit, Answer answer, int64_t startNs, const std::string& request);

    std::vector<SimUnit> units_;
    RequestReader reader_;
    Transmitter transmitter_;
    std::function<void(const std::string&)> log_;
};

std::string hexBytes(const uint8_t* bytes, size_t count);

}  // namespace varno_sim

#endif
