// The addresses and commands files: any bytes as a file's content, read as
// the tool reads them. Entries, skipped lines and messages stay bounded.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/inputfiles.h"
#include "fuzz/fakeline.h"

using namespace mirel_varno;
using varno_fuzz::check;

namespace {

std::string scratchPath()
{
    return "/tmp/varno-fuzz-input-" + std::to_string(getpid());
}

void removeScratch()
{
    std::remove(scratchPath().c_str());
}

// One file per process, rewritten for every input, removed at exit.
const std::string& scratchFile()
{
    static const std::string path = [] {
        std::atexit(removeScratch);
        return scratchPath();
    }();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string& path = scratchFile();
    FILE* file = std::fopen(path.c_str(), "wb");
    check(file != nullptr);
    check(std::fwrite(data, 1, size, file) == size);
    std::fclose(file);

    size_t lines = 1;
    for (size_t i = 0; i < size; ++i) {
        lines += data[i] == '\n' || data[i] == '\r';
    }

    std::vector<UnitAddress> addresses;
    InputFileReport addressReport;
    if (readAddressFile(path, addresses, addressReport)) {
        check(addresses.size() <= lines);
        check(addressReport.skipped.size() <= InputFileReport::MaxKept);
        check(addressReport.skippedCount + addresses.size() <= lines);
        for (const SkippedLine& line : addressReport.skipped) {
            check(line.number >= 1 && line.number <= lines);
            check(quotedBytes(line.bytes).size() <= line.bytes.size() * 4 + 2);
        }
    } else {
        check(!addressReport.failure.empty());
    }

    std::vector<int32_t> commands;
    InputFileReport commandReport;
    if (readCommandFile(path, commands, commandReport)) {
        check(commands.size() <= lines);
        for (const int32_t code : commands) {
            check(code >= CommandMeasure && code <= CommandVersion);
        }
    } else {
        check(!commandReport.failure.empty());
    }
    return 0;
}
