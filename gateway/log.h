#ifndef VARNO_GATEWAY_LOG_H
#define VARNO_GATEWAY_LOG_H

#include <optional>
#include <string>

namespace varno_gateway {

// In order of detail: a level logs itself and every level above it.
enum class Level { Error, Warning, Info, Debug };

// What a message is about, for the journal's fields LINE= and
// UNIT_ADDRESS=; empty when it is about no line or unit.
struct LogFields {
    std::string line;
    std::string unitAddress;
};

// One line on standard error with its level, whole lines only even from
// several threads. When standard error is the journal (JOURNAL_STREAM
// names it) the message goes to the journal directly with PRIORITY=,
// LINE= and UNIT_ADDRESS=; elsewhere it is "varno_gateway: LEVEL: text".
void logLine(Level level, const std::string& text);

// Messages about a line begin "line NAME: " and those about a unit go on
// with its address "a.b.c"; the fields are read from there.
LogFields fieldsOf(const std::string& text);

// The most detailed level logged (Info unless set; -v is Debug).
void setLogLevel(Level level);
void setVerbose(bool verbose);

// "error", "warning", "info" or "debug"; nothing for another text.
std::optional<Level> parseLevel(const std::string& name);

}  // namespace varno_gateway

#endif
