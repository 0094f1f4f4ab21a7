#include "simline.h"

#include <cstdlib>
#include <sstream>

namespace varno_test {

namespace {

std::string simulatorPath()
{
    const char* build = std::getenv("VARNO_BUILD_DIR");
    return std::string(build != nullptr ? build : ".") + "/sim/varno_unitsim";
}

// "<time> <address> rx <14 header bytes> [| <data bytes>] -> ..."
bool parseLogLine(const std::string& line, Exchange& exchange)
{
    const size_t rx = line.find(" rx ");
    if (rx == std::string::npos) {
        return false;
    }
    std::istringstream in(line.substr(rx + 4));
    std::string word;
    std::vector<unsigned> header;
    while (header.size() < 14 && in >> word) {
        header.push_back(static_cast<unsigned>(std::stoul(word, nullptr, 16)));
    }
    if (header.size() < 14) {
        return false;
    }
    exchange.function = static_cast<uint8_t>(header[6]);
    exchange.variable = -1;
    if (in >> word && word == "|" && in >> word) {
        exchange.variable = static_cast<int>(std::stoul(word, nullptr, 16));
    }
    return true;
}

}  // namespace

SimLine::SimLine(const std::string& ini, bool log)
{
    const std::string config = dir_.write("units.ini", ini);
    std::vector<std::string> argv = {simulatorPath(), "--no-pacing", "--link", "line"};
    if (log) {
        argv.push_back("--log");
    }
    argv.push_back(config);
    sim_ = std::make_unique<varno_sim::ChildProcess>();
    // The log goes to standard error: read it with the output.
    std::string first;
    started_ = sim_->start(argv, dir_.path(), -1, true) && sim_->readLine(first, 10000) &&
               first.find("listening") != std::string::npos;
}

SimLine::~SimLine() = default;

std::vector<Exchange> SimLine::takeExchanges()
{
    // Each request is logged before it is answered, so by the time the
    // caller has its reply the line is on its way; a short drain collects it.
    std::vector<Exchange> exchanges;
    std::string line;
    while (sim_->readLine(line, 200)) {
        Exchange exchange;
        if (parseLogLine(line, exchange)) {
            exchanges.push_back(exchange);
        }
    }
    return exchanges;
}

std::vector<Exchange> reads(std::initializer_list<int> variables)
{
    std::vector<Exchange> out;
    for (int v : variables) {
        out.push_back({6, v});
    }
    return out;
}

Exchange writeOf(int variable)
{
    return {8, variable};
}

}  // namespace varno_test
