#include "gateway/log.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace varno_gateway {

namespace {

std::atomic<bool> verbose{false};
std::mutex outputLock;

bool underJournal()
{
    static const bool journal = std::getenv("JOURNAL_STREAM") != nullptr;
    return journal;
}

}  // namespace

void setVerbose(bool on)
{
    verbose = on;
}

void logLine(Level level, const std::string& text)
{
    if (level == Level::Debug && !verbose) {
        return;
    }
    static const char* const names[] = {"error", "warning", "info", "debug"};
    static const char* const priorities[] = {"<3>", "<4>", "<6>", "<7>"};
    const int i = static_cast<int>(level);
    std::lock_guard<std::mutex> hold(outputLock);
    if (underJournal()) {
        std::fprintf(stderr, "%s%s\n", priorities[i], text.c_str());
    } else {
        std::fprintf(stderr, "varno_gateway: %s: %s\n", names[i], text.c_str());
    }
    std::fflush(stderr);
}

}  // namespace varno_gateway
