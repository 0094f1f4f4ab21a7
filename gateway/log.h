#ifndef VARNO_GATEWAY_LOG_H
#define VARNO_GATEWAY_LOG_H

#include <string>

namespace varno_gateway {

enum class Level { Error, Warning, Info, Debug };

// One line on standard error with its level, whole lines only even from
// several threads. Under systemd the journal keeps them; the prefix "<3>"
// etc. gives the journal the priority.
void logLine(Level level, const std::string& text);
void setVerbose(bool verbose);

}  // namespace varno_gateway

#endif
