#ifndef VARNO_SIM_CONTROL_H
#define VARNO_SIM_CONTROL_H

#include <string>

#include "sim/simulator.h"

namespace varno_sim {

// Applies one command line of the control pipe and says what it did:
//   fault <a.b.c> <fault...>              the unit misbehaves in every answer
//   fault <a.b.c> var <n> <fault...>      ... in answers about variable n
//   clear <a.b.c> [var <n>] | clear all   back to normal
//   set <a.b.c> status <word>
//   set <a.b.c> measure <value> [<time s> [<accuracy %>]]
//   set <a.b.c> version <text...>
//   list                                  the units and their faults
// Returns false (with the reason in `reply`) for a command it cannot apply.
bool applyControl(Simulator& simulator, const std::string& line, std::string& reply);

}  // namespace varno_sim

#endif
