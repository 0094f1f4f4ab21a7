#include "support/simline.h"

#include <csignal>
#include <sstream>

namespace varno_test {

namespace {

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
    std::vector<std::string> options = {"--no-pacing", "--link", "line"};
    if (log) {
        options.push_back("--log");
    }
    // The log goes to standard error: read it with the output.
    start(ini, options, true);
}

SimLine::~SimLine()
{
    stop();
}

bool SimLine::start(const std::string& ini, const std::vector<std::string>& options,
                    bool mergeStderr)
{
    dir_.write("units.ini", ini);
    std::vector<std::string> argv = {VARNO_UNITSIM_PATH};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back("units.ini");
    sim_ = std::make_unique<ChildProcess>();
    std::string first;
    if (!sim_->start(argv, dir_.path(), -1, mergeStderr)) {
        startError_ = "cannot start " + argv.front();
    } else if (!sim_->readLine(first, 10000)) {
        startError_ = "simulator did not start";
    } else if (first.find("listening on") == std::string::npos) {
        startError_ = first;
    } else {
        started_ = true;
    }
    return started_;
}

bool SimLine::stop()
{
    if (!sim_ || !sim_->running()) {
        return true;
    }
    sim_->signal(SIGTERM);
    return sim_->wait(5000);
}

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
