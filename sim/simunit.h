#ifndef VARNO_SIM_SIMUNIT_H
#define VARNO_SIM_SIMUNIT_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "protocol/frame.h"
#include "sim/fault.h"
#include "sim/unitstate.h"

namespace varno_sim {

// A request frame as it came off the line.
struct Request {
    mirel_varno::FrameHeader header;
    std::vector<uint8_t> data;  // the data bytes, without their checksum
    bool dataChecksumValid = true;
};

// What a unit sends back for one request: nothing, or a reply frame,
// possibly followed by a further frame, after a delay.
struct Answer {
    bool silent = true;
    std::vector<uint8_t> frame;
    std::vector<uint8_t> follow;  // sent straight after the frame
    std::vector<uint8_t> stray;   // noise sent at once, before the delay and the frame
    uint32_t delayMs = 0;
    std::string note;             // for the log: what the unit did
};

// One simulated unit: its state, its faults, and how it answers.
class SimUnit {
public:
    explicit SimUnit(UnitState state = UnitState{}) : state_(std::move(state)) {}

    const UnitState& state() const { return state_; }
    UnitState& state() { return state_; }
    mirel_varno::UnitAddress address() const { return state_.address; }

    // Answers a request addressed to this unit. Writes change the state; a
    // fault limited to a number of answers counts this one.
    // `broadcast` is set for an Identify sent to 0.0.0: the answer then
    // waits for this unit's slot (broadcastDelayMs).
    Answer answer(const Request& request, bool broadcast = false);

    // The unit-wide fault, and faults for single variables (these win).
    void setFault(const Fault& fault) { fault_ = fault; }
    void setVariableFault(uint8_t variable, const Fault& fault) { variableFaults_[variable] = fault; }
    void clearFaults();
    void clearVariableFault(uint8_t variable) { variableFaults_.erase(variable); }
    const Fault& fault() const { return fault_; }
    const std::map<uint8_t, Fault>& variableFaults() const { return variableFaults_; }

private:
    Answer answerClean(const Request& request);
    Fault takeFault(const Request& request);
    bool readValue(uint8_t variable, mirel_varno::DataType& type, std::vector<uint8_t>& value) const;
    mirel_varno::Error writeValue(uint8_t variable, mirel_varno::DataType type,
                                  const uint8_t* value, size_t size, Answer& answer);

    UnitState state_;
    Fault fault_;
    std::map<uint8_t, Fault> variableFaults_;
};

// The wait before a unit answers a broadcast Identify: a slot derived from
// its address, so that the units of one line answer one after another,
// all within the host's listening window of 9216 ms.
uint32_t broadcastDelayMs(mirel_varno::UnitAddress address);

// The four wire bytes of a parameter value of the given type (Byte, Packed
// or Float); a Byte value is rounded and clamped to 0-255, NaN gives 0.
uint32_t paramFromFloat(mirel_varno::DataType type, float value);

// A complete frame: header plus, when `data` is not empty, the data block
// with its checksum.
std::vector<uint8_t> buildFrame(mirel_varno::UnitAddress destination,
                                mirel_varno::UnitAddress source, mirel_varno::FunctionCode function,
                                uint8_t dataType, const std::vector<uint8_t>& data);

}  // namespace varno_sim

#endif
