#!/usr/bin/env bash
# A remote line end to end: simulated units on a pseudo-terminal, served
# by ser2net on a loopback TCP port, made local again by socat as COM7,
# and polled by varno_cycle through the bridge. Every line must be exact.
set -euo pipefail
cycle=$1
unitsim=$2
units=$3

source "$(dirname "$0")/../support/testlib.sh"

"$unitsim" --link unitline "$units" > sim.out 2>&1 &
pids+=($!)
wait_for 'grep -q listening sim.out' 50
device=$(sed -n 's/.* listening on \(\/dev\/[^ ]*\) .*/\1/p' sim.out)
[ -c "$device" ] || { echo "no device in: $(cat sim.out)"; exit 1; }

# The line is local to varno_cycle, so a reply must reach it in one piece:
# ser2net sends on only after 100 ms without a byte, and cuts a reply no
# sooner than 300 ms after its first byte. Paced bytes come in bursts whose
# spacing a loaded machine can stretch well past a few character times;
# the window must cover that, yet the whole reply must still arrive within
# the first read's half second. A port taken before ser2net could bind it
# is given up for another.
ser2net_pid=
for attempt in 1 2 3; do
  port=$(free_port)
  cat > ser2net.yaml <<YAML
%YAML 1.1
---
connection: &varno
  accepter: tcp,127.0.0.1,$port
  enable: on
  options:
    kickolduser: true
    chardelay-scale: 50
    chardelay-min: 100000
    chardelay-max: 300000
  connector: serialdev,$device,9600n81,local
YAML
  ser2net -n -c ser2net.yaml >> ser2net.log 2>&1 &
  ser2net_pid=$!
  pids+=($ser2net_pid)
  if wait_for "listens_on $port $ser2net_pid" 100; then break; fi
  kill "$ser2net_pid" 2>/dev/null || true
  wait "$ser2net_pid" 2>/dev/null || true
  ser2net_pid=
done
[ -n "$ser2net_pid" ] || { echo "ser2net never listened"; cat ser2net.log; exit 1; }

socat pty,link=COM7,raw,echo=0 "tcp:127.0.0.1:$port" > socat.log 2>&1 &
pids+=($!)
wait_for '[ -e COM7 ]' 50
# The bridge is whole once ser2net holds the line open for socat's
# connection; a request sent before that could be lost on the way.
wait_for "readlink /proc/$ser2net_pid/fd/* 2>/dev/null | grep -qx '$device'" 50

printf '1.2.3\n1.2.9\n' > addresses.txt
printf 'status\nmeasure\nversion\n' > commands.txt
# Standard input is a pipe that this script holds open without writing to
# it: no key is ever pressed. The run ends with SIGTERM once two full passes
# have been printed.
mkfifo keys
exec 5<>keys
"$cycle" -p 7 -t 20 -c commands.txt -a addresses.txt < keys > out.txt 2>err.txt &
cyclepid=$!
pids+=($cyclepid)
wait_for '[ "$(wc -l < out.txt)" -ge 13 ]' 300
kill -TERM "$cyclepid"
status=0
wait "$cyclepid" || status=$?
[ "$status" -eq 0 ] || { echo "varno_cycle exit status $status"; cat out.txt err.txt; exit 1; }

expected=(
  'Initializing serial port 7'
  '1.2.3	Status: 0x00A4'
  '1.2.9	No answer'
  '1.2.3	Measure: 12.500 007% 30 s'
  '1.2.9	No answer'
  '1.2.3	Version: Zähler 2.4 ✓'
  '1.2.9	No answer'
  '1.2.3	Status: 0x00A4'
  '1.2.9	No answer'
  '1.2.3	Measure: 12.500 007% 30 s'
  '1.2.9	No answer'
  '1.2.3	Version: Zähler 2.4 ✓'
  '1.2.9	No answer'
)
i=0
while IFS= read -r line; do
  [ "$i" -lt ${#expected[@]} ] || break
  want=${expected[$i]}
  if [ "$i" -eq 0 ]; then
    [ "$line" = "$want" ] || { echo "line $i: '$line' != '$want'"; cat out.txt; exit 1; }
  else
    [[ "$line" =~ ^[0-2][0-9]:[0-5][0-9]:[0-5][0-9]\ (.*)$ ]] || { echo "line $i has no time: '$line'"; exit 1; }
    [ "${BASH_REMATCH[1]}" = "$want" ] || { echo "line $i: '$line' != '$want'"; cat out.txt; exit 1; }
  fi
  i=$((i + 1))
done < out.txt
[ "$i" -eq ${#expected[@]} ] || { echo "only $i lines"; cat out.txt; exit 1; }
echo "remote line through ser2net and socat: ${#expected[@]} lines exact"
