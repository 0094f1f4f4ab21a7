#ifndef VARNO_SIM_SIMCONFIG_H
#define VARNO_SIM_SIMCONFIG_H

#include <string>
#include <vector>

#include "sim/simunit.h"

namespace varno_sim {

// Reads the units of a line from an INI file (UTF-8). Every group with an
// `address` key is one unit; see sim/README.md for the keys. Returns false
// with a message naming the group and key at the first error.
bool loadConfig(const std::string& path, std::vector<SimUnit>& units, std::string& error);

// The same from the text of such a file.
bool parseConfig(const wxString& text, std::vector<SimUnit>& units, std::string& error);

// "a.b.c" with each part 0-255.
bool parseAddress(const std::string& text, mirel_varno::UnitAddress& address);
std::string formatAddress(mirel_varno::UnitAddress address);

}  // namespace varno_sim

#endif
