#include "sim/fault.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>

#include "protocol/frame.h"
#include "sim/simconfig.h"

namespace varno_sim {

bool parseNumber(const std::string& word, long low, long high, long& value)
{
    if (word.empty()) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(word.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v < low || v > high) {
        return false;
    }
    value = v;
    return true;
}

std::vector<std::string> splitWords(const std::string& line)
{
    std::istringstream in(line);
    std::vector<std::string> words;
    std::string w;
    while (in >> w) {
        words.push_back(w);
    }
    return words;
}

bool parseFault(const std::vector<std::string>& words, Fault& fault, std::string& why)
{
    if (words.empty()) {
        why = "no fault given";
        return false;
    }
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& w = words[i];
        const bool hasNext = i + 1 < words.size();
        long n = 0;
        if (w == "none") {
            fault = Fault{};
        } else if (w == "silent") {
            fault.silent = true;
        } else if (w == "corrupt-header") {
            fault.corruptHeader = true;
        } else if (w == "corrupt-data") {
            fault.corruptData = true;
        } else if (w == "no-data") {
            fault.noData = true;
        } else if (w == "once") {
            fault.times = 1;
        } else if (w == "from") {
            if (!hasNext || !parseAddress(words[i + 1], fault.source)) {
                why = "'from' needs a unit address a.b.c";
                return false;
            }
            fault.otherSource = true;
            ++i;
        } else if (w == "error" || w == "stop" || w == "delay" || w == "stray" || w == "times") {
            const long high = w == "error"  ? 255
                              : w == "stop" ? 65535
                              : w == "stray" ? 4096
                              : w == "times" ? 1000000
                                             : 600000;
            if (!hasNext || !parseNumber(words[i + 1], 0, high, n)) {
                why = "'" + w + "' needs a number from 0 to " + std::to_string(high);
                return false;
            }
            ++i;
            if (w == "error") {
                fault.errorCode = static_cast<int>(n);
            } else if (w == "stop") {
                fault.stopAfter = static_cast<int>(n);
            } else if (w == "stray") {
                fault.strayBytes = static_cast<uint32_t>(n);
            } else if (w == "times") {
                fault.times = static_cast<int>(n);
            } else {
                fault.delayMs = static_cast<uint32_t>(n);
            }
        } else if (w == "wrong-type") {
            // Address (33) is a type that no read reply may carry.
            fault.wrongType = 33;
            if (hasNext && parseNumber(words[i + 1], 0, 255, n)) {
                fault.wrongType = static_cast<int>(n);
                ++i;
            }
        } else {
            why = "unknown fault '" + w + "'";
            return false;
        }
    }
    return true;
}

std::string describeFault(const Fault& fault)
{
    std::string s;
    auto add = [&s](const std::string& word) {
        if (!s.empty()) {
            s += ' ';
        }
        s += word;
    };
    if (fault.silent) {
        add("silent");
    }
    if (fault.errorCode >= 0) {
        add("error " + std::to_string(fault.errorCode));
    }
    if (fault.wrongType >= 0) {
        add("wrong-type " + std::to_string(fault.wrongType));
    }
    if (fault.corruptHeader) {
        add("corrupt-header");
    }
    if (fault.corruptData) {
        add("corrupt-data");
    }
    if (fault.noData) {
        add("no-data");
    }
    if (fault.stopAfter >= 0) {
        add("stop " + std::to_string(fault.stopAfter));
    }
    if (fault.delayMs > 0) {
        add("delay " + std::to_string(fault.delayMs));
    }
    if (fault.otherSource) {
        add("from " + formatAddress(fault.source));
    }
    if (fault.strayBytes > 0) {
        add("stray " + std::to_string(fault.strayBytes));
    }
    if (fault.times >= 0) {
        add("times " + std::to_string(fault.times));
    }
    return s.empty() ? "none" : s;
}

void damageFrame(const Fault& fault, std::vector<uint8_t>& frame)
{
    using mirel_varno::FrameHeaderSize;
    if (frame.size() < FrameHeaderSize) {
        return;
    }
    if (fault.wrongType >= 0) {
        frame[7] = static_cast<uint8_t>(fault.wrongType);
        mirel_varno::putLE32(frame.data() + 10, mirel_varno::frameChecksum(frame.data(), 10));
    }
    if (fault.otherSource) {
        frame[3] = fault.source.first;
        frame[4] = fault.source.second;
        frame[5] = fault.source.third;
        mirel_varno::putLE32(frame.data() + 10, mirel_varno::frameChecksum(frame.data(), 10));
    }
    if (fault.corruptHeader) {
        frame[10] ^= 0x01;
    }
    if (fault.corruptData && frame.size() > FrameHeaderSize) {
        frame.back() ^= 0x80;
    }
    if (fault.noData) {
        frame.resize(FrameHeaderSize);
    }
    if (fault.stopAfter >= 0 && static_cast<size_t>(fault.stopAfter) < frame.size()) {
        frame.resize(static_cast<size_t>(fault.stopAfter));
    }
}

std::vector<uint8_t> strayNoise(uint32_t count)
{
    // Noise rather than a frame: a fixed pattern, so that runs can be replayed.
    std::vector<uint8_t> noise(count);
    for (uint32_t i = 0; i < count; ++i) {
        noise[i] = static_cast<uint8_t>(0xA5 ^ (i * 0x3B));
    }
    return noise;
}

}  // namespace varno_sim
