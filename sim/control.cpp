#include "sim/control.h"

#include <cerrno>
#include <cstdlib>
#include <map>

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

// ---- The commands; each gets the line split into words.

struct Command {
    Simulator& simulator;
    const std::string& line;
    const std::vector<std::string>& words;
    std::string& reply;
};

// The unit named by the word after the verb; null with the reason in the
// reply when there is none.
SimUnit* commandUnit(const Command& c)
{
    mirel_varno::UnitAddress address;
    if (c.words.size() < 2 || !parseAddress(c.words[1], address)) {
        c.reply = "expected a unit address a.b.c after '" + c.words[0] + "'";
        return nullptr;
    }
    SimUnit* unit = c.simulator.find(address);
    if (unit == nullptr) {
        c.reply = "no unit " + c.words[1];
    }
    return unit;
}

// An optional "var <n>" after the address: `variable` stays -1 without
// one, and `next` is the first word after it.
bool variableOption(const Command& c, long& variable, size_t& next)
{
    variable = -1;
    next = 2;
    if (c.words.size() > 3 && c.words[2] == "var") {
        if (!parseNumber(c.words[3], 0, 255, variable)) {
            c.reply = "expected a variable number 0-255 after 'var'";
            return false;
        }
        next = 4;
    }
    return true;
}

bool listCommand(const Command& c)
{
    c.reply.clear();
    for (const SimUnit& u : c.simulator.units()) {
        c.reply += (c.reply.empty() ? "" : "; ") + describeUnit(u);
    }
    return true;
}

bool clearCommand(const Command& c)
{
    if (c.words.size() == 2 && c.words[1] == "all") {
        for (SimUnit& u : c.simulator.units()) {
            u.clearFaults();
        }
        c.reply = "all faults cleared";
        return true;
    }
    SimUnit* unit = commandUnit(c);
    long variable = -1;
    size_t next = 2;
    if (unit == nullptr || !variableOption(c, variable, next)) {
        return false;
    }
    if (next != c.words.size()) {
        c.reply = "expected: clear <a.b.c> [var <n>]";
        return false;
    }
    if (variable >= 0) {
        unit->clearVariableFault(static_cast<uint8_t>(variable));
    } else {
        unit->clearFaults();
    }
    c.reply = describeUnit(*unit);
    return true;
}

bool faultCommand(const Command& c)
{
    SimUnit* unit = commandUnit(c);
    long variable = -1;
    size_t next = 2;
    if (unit == nullptr || !variableOption(c, variable, next)) {
        return false;
    }
    Fault fault;
    const std::vector<std::string> words(c.words.begin() + static_cast<std::ptrdiff_t>(next),
                                         c.words.end());
    if (!parseFault(words, fault, c.reply)) {
        return false;
    }
    if (variable >= 0) {
        unit->setVariableFault(static_cast<uint8_t>(variable), fault);
    } else {
        unit->setFault(fault);
    }
    c.reply = describeUnit(*unit);
    return true;
}

// ---- set <a.b.c> <what> <value...>

bool setStatus(const Command& c, UnitState& s)
{
    long n = 0;
    if (c.words.size() != 4 || !parseNumber(c.words[3], 0, 0xFFFF, n)) {
        return false;
    }
    s.status = static_cast<uint16_t>(n);
    return true;
}

bool setMeasure(const Command& c, UnitState& s)
{
    const std::vector<std::string>& w = c.words;
    float value = 0.0f;
    long time = s.measureTime;
    long accuracy = s.measureAccuracy;
    if (w.size() < 4 || w.size() > 6 || !toFloat(w[3], value) ||
        (w.size() >= 5 && !parseNumber(w[4], INT32_MIN, INT32_MAX, time)) ||
        (w.size() >= 6 && !parseNumber(w[5], 0, 255, accuracy))) {
        return false;
    }
    s.measureValue = value;
    s.measureTime = static_cast<int32_t>(time);
    s.measureAccuracy = static_cast<uint8_t>(accuracy);
    return true;
}

bool setVersion(const Command& c, UnitState& s)
{
    // The rest of the line as it was typed, inner spaces kept.
    const size_t at = c.line.find("version");
    std::string text = c.line.substr(at + 7);
    const size_t first = text.find_first_not_of(" \t");
    text = first == std::string::npos ? std::string() : text.substr(first);
    s.version = wxString::FromUTF8(text.c_str());
    return true;
}

// The unit's changed-parameter list (variable 8), as a unit that was set
// up from its own panel reports it; no numbers empty it.
bool setChanged(const Command& c, UnitState& s)
{
    std::vector<uint8_t> list;
    for (size_t k = 3; k < c.words.size(); ++k) {
        long n = 0;
        if (!parseNumber(c.words[k], 0, 255, n)) {
            return false;
        }
        list.push_back(static_cast<uint8_t>(n));
    }
    s.changedParams = list;
    return true;
}

const std::map<std::string, bool (*)(const Command&, UnitState&)> setters = {
    {"status", setStatus},
    {"measure", setMeasure},
    {"version", setVersion},
    {"changed", setChanged},
};

bool setCommand(const Command& c)
{
    SimUnit* unit = commandUnit(c);
    if (unit == nullptr) {
        return false;
    }
    const auto setter = c.words.size() >= 3 ? setters.find(c.words[2]) : setters.end();
    if (setter == setters.end() || !setter->second(c, unit->state())) {
        c.reply = "expected: set <a.b.c> status <word> | measure <value> [<time> [<accuracy>]] | "
                  "version <text> | changed [<variable>...]";
        return false;
    }
    c.reply = describeUnit(*unit);
    return true;
}

const std::map<std::string, bool (*)(const Command&)> commands = {
    {"list", listCommand},
    {"clear", clearCommand},
    {"fault", faultCommand},
    {"set", setCommand},
};

}  // namespace

bool applyControl(Simulator& simulator, const std::string& line, std::string& reply)
{
    const std::vector<std::string> words = splitWords(line);
    if (words.empty()) {
        reply = "empty command";
        return false;
    }
    const auto command = commands.find(words[0]);
    if (command == commands.end()) {
        reply = "unknown command '" + words[0] + "'";
        return false;
    }
    return command->second(Command{simulator, line, words, reply});
}

}  // namespace varno_sim
