#!/usr/bin/env bash
# Sets up, builds, and polls three simulated units with varno_cycle: one
# healthy, one in threshold alarm, one that does not answer. A key press
# ends it. When standard input is not a terminal (CI), it stops by itself
# after --seconds N (default 10).
#
#   bash scripts/demo.sh [--seconds N] [--pause MS]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

seconds=10
pause=300
while [ $# -gt 0 ]; do
  case $1 in
    --seconds) seconds=$2; shift 2 ;;
    --pause) pause=$2; shift 2 ;;
    -h|--help) sed -n '2,7p' "$0"; exit 0 ;;
    *) echo "demo: unknown option $1" >&2; exit 1 ;;
  esac
done

bash scripts/setup.sh --demo
# The test suite needs packages of its own (scripts/test.sh installs them).
cmake -S . -B build -DVARNO_BUILD_TESTS=OFF >/dev/null
# Every program the README's sections run, the gateway included.
cmake --build build -j"$(nproc)" --target varno_cycle varno_unitsim varno_monitor varno_gateway

work=$(mktemp -d)
sim_pid=
cleanup() {
  if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
    kill -TERM "$sim_pid"
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

port=7
cp examples/commands.txt examples/addresses.txt "$work/"

(cd "$work" && exec "$root/build/sim/varno_unitsim" -p "$port" --control control "$root/sim/demo.ini") \
  >"$work/sim.out" 2>&1 &
sim_pid=$!
for _ in $(seq 50); do
  grep -q listening "$work/sim.out" 2>/dev/null && break
  kill -0 "$sim_pid" 2>/dev/null || { cat "$work/sim.out" >&2; exit 1; }
  sleep 0.1
done
cat "$work/sim.out"

echo "units: 1.2.3 healthy, 1.2.4 in threshold alarm (status bit 5), 1.2.5 silent"
echo "\$ varno_cycle -p $port -t $pause -c commands.txt -a addresses.txt"
cycle=("$root/build/app/varno_cycle" -p "$port" -t "$pause" -c commands.txt -a addresses.txt)
if [ -t 0 ]; then
  echo "(press a key to stop)"
  (cd "$work" && "${cycle[@]}")
else
  # No keyboard: a byte on its standard input after the time is the key.
  (sleep "$seconds"; echo) | (cd "$work" && "${cycle[@]}")
fi
