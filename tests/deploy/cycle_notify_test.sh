#!/usr/bin/env bash
# varno_cycle under a stand-in for systemd's notify socket: READY=1 once
# the port is open, one WATCHDOG=1 per report line when a watchdog is
# asked for and none otherwise, and STOPPING=1 at the end.
set -euo pipefail
cycle=$1
unitsim=$2
units=$3
source "$(dirname "$0")/../support/testlib.sh"

on_failure() {
  for f in notify.log cycle.out sim.out; do echo "--- $f"; tail -n 20 "$f" 2>/dev/null; done
}
datagrams() { sed 's/\(READY\|WATCHDOG\|STOPPING\)=1/\n&/g' "$1"; }
count() { datagrams "$1" | grep -c "^$2=1" || true; }

"$unitsim" --no-pacing --link unitline "$units" > sim.out 2>&1 &
pids+=($!)
wait_for "grep -q listening sim.out" 100
printf '1.2.3\n1.2.4\n' > addresses.txt
printf 'status\nversion\n' > commands.txt

# Two runs: with a watchdog (WATCHDOG_USEC) and without one.
for run in watchdog plain; do
  socat -u UNIX-RECV:"$work/$run.sock" OPEN:"$run.log",creat,append &
  pids+=($!)
  wait_for "[ -S $run.sock ]" 50
  env_args=(NOTIFY_SOCKET="$work/$run.sock")
  [ $run = watchdog ] && env_args+=(WATCHDOG_USEC=30000000)
  env "${env_args[@]}" "$cycle" -p "$work/unitline" -t 10 -c commands.txt -a addresses.txt \
    --count 2 --quiet < /dev/null > cycle.out 2>&1 || true
  lines=$(wc -l < cycle.out)
  [ "$lines" -eq 8 ] || { echo "$run: $lines report lines, not 8"; exit 1; }
  wait_for "[ \$(count $run.log STOPPING) -eq 1 ]" 50
  [ "$(count $run.log READY)" -eq 1 ] || { echo "$run: READY=1 not sent once"; exit 1; }
  first=$(datagrams $run.log | grep -m1 -o -E '^(READY|WATCHDOG|STOPPING)=1')
  [ "$first" = READY=1 ] || { echo "$run: first came $first"; exit 1; }
  last=$(datagrams $run.log | grep -o -E '^(READY|WATCHDOG|STOPPING)=1' | tail -n 1)
  [ "$last" = STOPPING=1 ] || { echo "$run: last came $last"; exit 1; }
  pings=$(count $run.log WATCHDOG)
  want=0
  [ $run = watchdog ] && want=$lines
  [ "$pings" -eq "$want" ] || { echo "$run: $pings watchdog pings for $lines lines, want $want"; exit 1; }
  echo "$run: READY=1, $pings pings for $lines report lines, STOPPING=1"
done
