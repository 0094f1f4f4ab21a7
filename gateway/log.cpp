#include "gateway/log.h"

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include <systemd/sd-journal.h>

namespace varno_gateway {

namespace {

std::atomic<Level> maxLevel{Level::Info};
std::mutex outputLock;

constexpr const char* Names[] = {"error", "warning", "info", "debug"};
constexpr int Priorities[] = {LOG_ERR, LOG_WARNING, LOG_INFO, LOG_DEBUG};

// JOURNAL_STREAM is inherited by every child; it speaks for standard error
// only while that is still the stream it names ("DEVICE:INODE").
bool stderrIsJournal()
{
    static const bool journal = [] {
        const char* stream = std::getenv("JOURNAL_STREAM");
        struct stat info {};
        if (stream == nullptr || ::fstat(STDERR_FILENO, &info) != 0) {
            return false;
        }
        unsigned long long device = 0;
        unsigned long long inode = 0;
        if (std::sscanf(stream, "%llu:%llu", &device, &inode) != 2) {
            return false;
        }
        return device == static_cast<unsigned long long>(info.st_dev) &&
               inode == static_cast<unsigned long long>(info.st_ino);
    }();
    return journal;
}

bool isAddress(const std::string& word)
{
    unsigned a = 0;
    unsigned b = 0;
    unsigned c = 0;
    char rest = 0;
    return std::sscanf(word.c_str(), "%3u.%3u.%3u%c", &a, &b, &c, &rest) == 3 && a <= 255 &&
           b <= 255 && c <= 255;
}

}  // namespace

LogFields fieldsOf(const std::string& text)
{
    LogFields fields;
    static const std::string prefix = "line ";
    if (text.compare(0, prefix.size(), prefix) != 0) {
        return fields;
    }
    const size_t end = text.find(": ", prefix.size());
    if (end == std::string::npos || end == prefix.size()) {
        return fields;
    }
    fields.line = text.substr(prefix.size(), end - prefix.size());
    const size_t wordStart = end + 2;
    const size_t wordEnd = text.find_first_of(" :", wordStart);
    const std::string word = text.substr(wordStart, wordEnd == std::string::npos
                                                        ? std::string::npos
                                                        : wordEnd - wordStart);
    if (isAddress(word)) {
        fields.unitAddress = word;
    }
    return fields;
}

void setLogLevel(Level level)
{
    maxLevel = level;
}

void setVerbose(bool on)
{
    maxLevel = on ? Level::Debug : Level::Info;
}

std::optional<Level> parseLevel(const std::string& name)
{
    for (int i = 0; i < 4; ++i) {
        if (name == Names[i]) {
            return static_cast<Level>(i);
        }
    }
    return std::nullopt;
}

void logLine(Level level, const std::string& text)
{
    if (static_cast<int>(level) > static_cast<int>(maxLevel.load())) {
        return;
    }
    const int i = static_cast<int>(level);
    if (stderrIsJournal()) {
        const LogFields fields = fieldsOf(text);
        // Fields without a value are left out rather than sent empty.
        const int sent =
            sd_journal_send("MESSAGE=%s", text.c_str(), "PRIORITY=%d", Priorities[i],
                            "SYSLOG_IDENTIFIER=varno_gateway",
                            fields.line.empty() ? nullptr : "LINE=%s", fields.line.c_str(),
                            fields.unitAddress.empty() ? nullptr : "UNIT_ADDRESS=%s",
                            fields.unitAddress.c_str(), nullptr);
        if (sent >= 0) {
            return;
        }
    }
    std::lock_guard<std::mutex> hold(outputLock);
    if (stderrIsJournal()) {
        // The journal's socket is out of reach: its stream takes "<N>".
        std::fprintf(stderr, "<%d>%s\n", Priorities[i], text.c_str());
    } else {
        std::fprintf(stderr, "varno_gateway: %s: %s\n", Names[i], text.c_str());
    }
    std::fflush(stderr);
}

}  // namespace varno_gateway
