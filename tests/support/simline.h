#ifndef VARNO_TESTS_SIMLINE_H
#define VARNO_TESTS_SIMLINE_H

#include <cstdint>
#include <initializer_list>
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

// The unit simulator as a process, in a temporary directory of its own,
// serving the units of an INI text. The destructor stops it and removes
// the directory.
class SimLine {
public:
    SimLine() = default;
    // Started at once on a pseudo-terminal linked as "line" in its
    // directory, replying without line pacing and, with `log`, logging
    // every request (see takeExchanges).
    explicit SimLine(const std::string& ini, bool log = true);
    ~SimLine();
    SimLine(const SimLine&) = delete;
    SimLine& operator=(const SimLine&) = delete;

    // Writes the INI as units.ini and starts the simulator with the options
    // before it; with mergeStderr its standard error is read with its
    // output. True once it says that it listens; otherwise startError()
    // tells what it said.
    bool start(const std::string& ini, const std::vector<std::string>& options,
               bool mergeStderr = false);
    bool started() const { return started_; }
    const std::string& startError() const { return startError_; }

    const TempDir& dir() const { return dir_; }
    ChildProcess& process() { return *sim_; }
    // The path to open the line by, for the "line" link of the constructor.
    std::string device() const { return dir_.file("line"); }
    // The requests logged since the last call (or since the start).
    std::vector<Exchange> takeExchanges();
    // Ends a running simulator with SIGTERM; false when it is still running
    // after 5 s.
    bool stop();

private:
    TempDir dir_;
    std::unique_ptr<ChildProcess> sim_;
    bool started_ = false;
    std::string startError_;
};

// Read and write requests of the given variables, for comparisons.
std::vector<Exchange> reads(std::initializer_list<int> variables);
Exchange writeOf(int variable);

}  // namespace varno_test

#endif
