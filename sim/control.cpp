#include "sim/control.h"

#include <cerrno>
#include <cstdlib>

#include "sim/simconfig.h"

namespace varno_sim {

namespace {

bool toFloat(const std::string& w, float& v)
{
    char* end = nullptr;
    errno = 0;
    v = std::strtof(w.c_str(), &end);
    return !w.empty() && *end == '\0' && errno == 0;
}

std::string describeUnit(const SimUnit& u)
{
    std::string s = formatAddress(u.address()) + ": status " + std::to_string(u.state().status) +
                    ", fault " + describeFault(u.fault());
    for (const auto& kv : u.variableFaults()) {
        s += ", var " + std::to_string(kv.first) + " " + describeFault(kv.second);
    }
    return s;
}

}  // namespace

bool applyControl(Simulator& simulator, const std::string& line, std::string& reply)
{
    const std::vector<std::string> w = splitWords(line);
    if (w.empty()) {
        reply = "empty command";
        return false;
    }
    const std::string& verb = w[0];
    if (verb == "list") {
        reply.clear();
        for (const SimUnit& u : simulator.units()) {
            reply += (reply.empty() ? "" : "; ") + describeUnit(u);
        }
        return true;
    }
    if (verb == "clear" && w.size() == 2 && w[1] == "all") {
        for (SimUnit& u : simulator.units()) {
            u.clearFaults();
        }
        reply = "all faults cleared";
        return true;
    }
    if (verb != "fault" && verb != "clear" && verb != "set") {
        reply = "unknown command '" + verb + "'";
        return false;
    }
    mirel_varno::UnitAddress address;
    if (w.size() < 2 || !parseAddress(w[1], address)) {
        reply = "expected a unit address a.b.c after '" + verb + "'";
        return false;
    }
    SimUnit* unit = simulator.find(address);
    if (unit == nullptr) {
        reply = "no unit " + w[1];
        return false;
    }

    size_t next = 2;
    long variable = -1;
    if (verb != "set" && w.size() > 3 && w[2] == "var") {
        if (!parseNumber(w[3], 0, 255, variable)) {
            reply = "expected a variable number 0-255 after 'var'";
            return false;
        }
        next = 4;
    }

    if (verb == "clear") {
        if (next != w.size()) {
            reply = "expected: clear <a.b.c> [var <n>]";
            return false;
        }
        if (variable >= 0) {
            unit->clearVariableFault(static_cast<uint8_t>(variable));
        } else {
            unit->clearFaults();
        }
        reply = describeUnit(*unit);
        return true;
    }
    if (verb == "fault") {
        Fault fault;
        const std::vector<std::string> words(w.begin() + static_cast<std::ptrdiff_t>(next), w.end());
        if (!parseFault(words, fault, reply)) {
            return false;
        }
        if (variable >= 0) {
            unit->setVariableFault(static_cast<uint8_t>(variable), fault);
        } else {
            unit->setFault(fault);
        }
        reply = describeUnit(*unit);
        return true;
    }

    // set
    UnitState& s = unit->state();
    long n = 0;
    if (w.size() == 4 && w[2] == "status" && parseNumber(w[3], 0, 0xFFFF, n)) {
        s.status = static_cast<uint16_t>(n);
        reply = describeUnit(*unit);
        return true;
    }
    if (w.size() >= 4 && w.size() <= 6 && w[2] == "measure") {
        float value = 0.0f;
        long time = s.measureTime;
        long accuracy = s.measureAccuracy;
        if (toFloat(w[3], value) && (w.size() < 5 || parseNumber(w[4], INT32_MIN, INT32_MAX, time)) &&
            (w.size() < 6 || parseNumber(w[5], 0, 255, accuracy))) {
            s.measureValue = value;
            s.measureTime = static_cast<int32_t>(time);
            s.measureAccuracy = static_cast<uint8_t>(accuracy);
            reply = describeUnit(*unit);
            return true;
        }
    }
    if (w.size() >= 3 && w[2] == "version") {
        // The rest of the line as it was typed, inner spaces kept.
        const size_t at = line.find("version");
        std::string text = line.substr(at + 7);
        const size_t first = text.find_first_not_of(" \t");
        text = first == std::string::npos ? std::string() : text.substr(first);
        s.version = wxString::FromUTF8(text.c_str());
        reply = describeUnit(*unit);
        return true;
    }
    if (w.size() >= 3 && w[2] == "changed") {
        // The unit's changed-parameter list (variable 8), as a unit that
        // was set up from its own panel reports it.
        std::vector<uint8_t> list;
        for (size_t k = 3; k < w.size(); ++k) {
            if (!parseNumber(w[k], 0, 255, n)) {
                reply = "expected variable numbers 0-255 after 'changed'";
                return false;
            }
            list.push_back(static_cast<uint8_t>(n));
        }
        s.changedParams = list;
        reply = describeUnit(*unit);
        return true;
    }
    reply = "expected: set <a.b.c> status <word> | measure <value> [<time> [<accuracy>]] | "
            "version <text> | changed [<variable>...]";
    return false;
}

}  // namespace varno_sim
