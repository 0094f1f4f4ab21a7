#ifndef VARNO_SIM_FAULT_H
#define VARNO_SIM_FAULT_H

#include <cstdint>
#include <string>
#include <vector>

#include "base/unitaddress.h"

namespace varno_sim {

// How a simulated unit misbehaves when it answers. Several kinds combine:
// "delay 300 corrupt-data" answers late with a broken data checksum.
struct Fault {
    bool silent = false;         // no answer at all
    int errorCode = -1;          // answer with an error reply of this code (0-255)
    bool corruptHeader = false;  // flip a bit of the header checksum
    bool corruptData = false;    // flip a bit of the data checksum
    bool noData = false;         // send the header only, though it announces data
    int stopAfter = -1;          // send only the first k bytes of the reply
    int wrongType = -1;          // replace the reply's data-type byte (header checksum kept valid)
    uint32_t delayMs = 0;        // wait this long before answering
    bool otherSource = false;    // answer as if from `source` (header checksum kept valid)
    mirel_varno::UnitAddress source{};
    uint32_t strayBytes = 0;     // send this many noise bytes at once, the reply after them
    int times = -1;              // the next `times` answers only, then behave; -1: all

    bool any() const
    {
        return silent || errorCode >= 0 || corruptHeader || corruptData || noData ||
               stopAfter >= 0 || wrongType >= 0 || delayMs > 0 || otherSource || strayBytes > 0;
    }
};

// Parses the words of a fault description ("silent", "error 4",
// "corrupt-header", "corrupt-data", "no-data", "stop 10", "wrong-type [33]",
// "delay 200", "from 1.2.6", "stray 5", "times 1" or "once", "none"),
// adding each kind to `fault`. On failure returns false
// and says why.
bool parseFault(const std::vector<std::string>& words, Fault& fault, std::string& why);

// The description in the same words, "none" for no fault.
std::string describeFault(const Fault& fault);

// Applies the byte-level kinds to a complete, valid reply frame (header and
// optional data block). The error reply and silence are the unit's business;
// this handles wrong type, other source, corruption, no data and truncation,
// in that order.
void damageFrame(const Fault& fault, std::vector<uint8_t>& frame);

// The noise bytes of "stray N".
std::vector<uint8_t> strayNoise(uint32_t count);

// Splits a line into words at white space.
std::vector<std::string> splitWords(const std::string& line);

// One word as a whole number (decimal, 0x hex or 0 octal) from low to high;
// `value` is left alone when the word is anything else.
bool parseNumber(const std::string& word, long low, long high, long& value);

}  // namespace varno_sim

#endif
