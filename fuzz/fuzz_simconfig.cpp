// The simulator's inputs: its INI file and its control pipe. The input is
// an INI text, a zero byte, control lines, a zero byte and bytes that the
// host sends to the simulated units. Anything may be refused with a
// reason; nothing may crash.

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz/fakeline.h"
#include "sim/control.h"
#include "sim/simconfig.h"
#include "sim/simulator.h"

using varno_fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string all(reinterpret_cast<const char*>(data), size);
    const size_t iniEnd = std::min(all.find('\0'), all.size());
    const size_t controlEnd = std::min(all.find('\0', std::min(iniEnd + 1, all.size())), all.size());
    const std::string ini = all.substr(0, iniEnd);
    const std::string control = iniEnd < all.size() ? all.substr(iniEnd + 1, controlEnd - iniEnd - 1) : "";
    const std::string wire = controlEnd < all.size() ? all.substr(controlEnd + 1) : "";

    std::vector<varno_sim::SimUnit> units;
    std::string error;
    const bool parsed = varno_sim::parseConfig(wxString::FromUTF8(ini.data(), ini.size()), units, error);
    check(parsed || !error.empty());
    if (!parsed) {
        units.clear();
    }

    varno_sim::Simulator simulator(units, 0);
    std::istringstream lines(control);
    std::string line;
    while (std::getline(lines, line)) {
        std::string reply;
        const bool applied = varno_sim::applyControl(simulator, line, reply);
        check(applied || !reply.empty());
    }
    simulator.received(reinterpret_cast<const uint8_t*>(wire.data()), wire.size(), 0);
    simulator.expire(1000000000);
    return 0;
}
