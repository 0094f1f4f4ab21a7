#ifndef VARNO_TESTS_MONITOR_SIMLINE_H
#define VARNO_TESTS_MONITOR_SIMLINE_H

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "support/childprocess.h"
#include "support/process.h"

namespace varno_test {

// One request as the simulator logged it.
struct Exchange {
    uint8_t function = 0;
    int variable = -1;  // first data byte; -1 for a request without data
    bool operator==(const Exchange& other) const
    {
        return function == other.function && variable == other.variable;
    }
};

inline void PrintTo(const Exchange& e, std::ostream* out)
{
    *out << "{function " << int(e.function) << ", variable " << e.variable << "}";
}

// The unit simulator on a pseudo-terminal of its own, described by an INI
// text, replying without line pacing and logging every request.
class SimLine {
public:
    explicit SimLine(const std::string& ini, bool log = true);
    ~SimLine();

    // The path to open the line by.
    std::string device() const { return dir_.file("line"); }
    bool started() const { return started_; }
    // The requests logged since the last call (or since the start).
    std::vector<Exchange> takeExchanges();

private:
    TempDir dir_;
    std::unique_ptr<varno_sim::ChildProcess> sim_;
    bool started_ = false;
};

// Read and write requests of the given variables, for comparisons.
std::vector<Exchange> reads(std::initializer_list<int> variables);
Exchange writeOf(int variable);

}  // namespace varno_test

#endif
