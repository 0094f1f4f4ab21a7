#!/usr/bin/env bash
# Times varno_cycle's status exchange against the simulator at 9600 baud
# and measures its CPU share while it polls a unit that never answers.
#
#   bash bench/cyclebench.sh [--samples N] [--seconds S]   (default 7 samples of 2 s)
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)" --target varno_cycle varno_unitsim varno_cyclebench >/dev/null
exec build/bench/varno_cyclebench --cycle build/app/varno_cycle --sim build/sim/varno_unitsim "$@"
