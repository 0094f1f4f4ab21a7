// The command line: any bytes, cut at zero bytes into up to 16 arguments,
// parsed as the tool parses them. Settings and messages stay bounded.

#include <cstdint>
#include <string>
#include <vector>

#include "app/options.h"
#include "fuzz/fakeline.h"

using namespace mirel_varno;
using varno_fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<std::string> args = {"varno_cycle"};
    std::string current;
    for (size_t i = 0; i < size && args.size() < 16; ++i) {
        if (data[i] == 0) {
            args.push_back(current);
            current.clear();
        } else {
            current += static_cast<char>(data[i]);
        }
    }
    if (args.size() < 16) {
        args.push_back(current);
    }
    std::vector<const char*> argv;
    for (const std::string& a : args) {
        argv.push_back(a.c_str());
    }
    argv.push_back(nullptr);

    resetOptionIndex();
    CycleSettings settings;
    parseCommandLine(static_cast<int>(args.size()), argv.data(), settings);
    check(settings.problems.size() <= args.size() * 4 + 4);
    check(settings.commandsPath.size() <= size && settings.addressesPath.size() <= size);
    for (const std::string& a : args) {
        (void)argumentText(a.c_str());
    }
    return 0;
}
