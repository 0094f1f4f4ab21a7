#!/usr/bin/env bash
# The gateway under a realistic load: 4 simulated lines of 32 units each,
# paced at 9600 baud, polled back to back, publishing to a local mosquitto.
# Prints the gateway's CPU share (of one core) and its peak memory.
# Targets: under 1.2 % of one core, under 32 MiB.
#
#   bash bench/gatewaybench.sh [--seconds N] [--poll S] [--build DIR] [--no-pacing] [--burst US] [--page]
#
# Paced bytes leave the simulators one at a time, at their own times, as a
# UART hands them over; --burst US sends them in bursts of about US
# microseconds instead (the simulator's default is 2000), as a USB adapter
# might: the reads then more often find a reply short and look once more.
# --no-pacing lets the simulators answer at once, so that with --poll 1
# every unit has a new reading each second; --page keeps the status page's
# event stream open for the whole run (the figure then includes sending
# every change to it; the browser's own work is not the gateway's).
#
# Defaults: 60 s measured, a poll interval of 5 s (a round of 32 units
# takes about 7 s at 9600 baud, so every line is busy all the time), the
# build in build/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=60
poll=5
build=build
pacing=
burst=0
page=
while [ $# -gt 0 ]; do
  case $1 in
    --seconds) seconds=$2; shift 2 ;;
    --poll) poll=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    --no-pacing) pacing=--no-pacing; shift ;;
    --burst) burst=$2; shift 2 ;;
    --page) page=1; shift ;;
    *) echo "usage: $0 [--seconds N] [--poll S] [--build DIR] [--no-pacing] [--burst US] [--page]"; exit 64 ;;
  esac
done
if [ ! -x "$build/gateway/varno_gateway" ] || [ ! -x "$build/sim/varno_unitsim" ]; then
  cmake -S . -B "$build" >/dev/null
  cmake --build "$build" -j"$(nproc)" --target varno_gateway varno_unitsim >/dev/null
fi
gateway=$(realpath "$build/gateway/varno_gateway")
unitsim=$(realpath "$build/sim/varno_unitsim")

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  [ -n "${keep:-}" ] && cp -r "$work" "$keep" || true; rm -rf "$work"
}
trap cleanup EXIT
keep=${KEEP_BENCH_DIR:-}
cd "$work"

port_in_use() {
  grep -q -E "^ *[0-9]+: [0-9A-F]+:$(printf '%04X' "$1") " /proc/net/tcp /proc/net/tcp6
}
free_port() {
  local p
  for _ in $(seq 1 50); do
    p=$((20000 + RANDOM % 30000))
    port_in_use "$p" || { echo "$p"; return 0; }
  done
  return 1
}
mqtt_port=$(free_port)
http_port=$(free_port)
mosquitto -p "$mqtt_port" > broker.log 2>&1 &
pids+=($!)

lines=4
units=32
{
  echo "poll_interval: $poll"
  echo "mqtt: {port: $mqtt_port, client_id: bench}"
  echo "http: {listen: 127.0.0.1:$http_port}"
  echo "lines:"
} > gateway.yaml
for l in $(seq 1 $lines); do
  : > "units$l.ini"
  for u in $(seq 1 $units); do
    cat >> "units$l.ini" <<INI
[u$u]
address = 2.$l.$u
status = 0x0001
measure = $l.$u
algorithm = 0
algo0.text1 = Methane
algo0.text2 = %LEL
param0.name = Threshold
param0.type = float
param0.value = 50
statusbit0 = Measuring
INI
  done
  "$unitsim" ${pacing:---burst $burst} --log --link "line$l" "units$l.ini" > "sim$l.out" 2>&1 &
  pids+=($!)
  {
    echo "  - name: line$l"
    echo "    device: $work/line$l"
    echo "    units:"
    for u in $(seq 1 $units); do echo "      - {address: 2.$l.$u}"; done
  } >> gateway.yaml
done
for l in $(seq 1 $lines); do
  until grep -q listening "sim$l.out" 2>/dev/null; do sleep 0.1; done
done
until port_in_use "$mqtt_port"; do sleep 0.1; done

mosquitto_sub -p "$mqtt_port" -t 'varno/+/+/measure' -v > measures.txt 2>/dev/null &
pids+=($!)
"$gateway" -c gateway.yaml > gateway.log 2>&1 &
gw=$!
echo "gateway pid $gw (measuring once every unit has a measure)"
pids+=($gw)

ticks=$(getconf CLK_TCK)
cpu() { awk '{ print $14 + $15 }' "/proc/$gw/stat"; }
# The first reads of every unit (parameters, algorithms: about 20 frames
# each) are the heavy part; the figure is for the steady state after them,
# once every unit has published a measure.
start=$(date +%s)
until [ "$(cut -d' ' -f1 measures.txt | sort -u | wc -l)" -ge $((lines * units)) ]; do
  [ $(( $(date +%s) - start )) -lt 300 ] || { echo "not every unit measured after 300 s"; exit 1; }
  sleep 1
done
warmup=$(( $(date +%s) - start ))
# Per thread too, to see where the time goes: a line per thread: its id, its name (blanks made _), its ticks and the
# times it went to sleep.
threadcpu() {
  for t in /proc/$gw/task/*; do
    awk '{ c = $0; sub(/^[0-9]+ \(/, "", c); sub(/\).*/, "", c); gsub(/ /, "_", c)
           print $1, c, $(NF-38) + $(NF-37) }' "$t/stat" 2>/dev/null |
      paste -d' ' - <(awk '/^voluntary_ctxt_switches/ { print $2 }' "$t/status" 2>/dev/null)
  done
}
if [ -n "$page" ]; then
  # What the page's browser holds open: the event stream.
  ( exec 5<>"/dev/tcp/127.0.0.1/$http_port"
    printf 'GET /events HTTP/1.1\r\nHost: localhost\r\n\r\n' >&5
    exec cat <&5 > events.txt ) &
  pids+=($!)
  sleep 1
fi
# Nanoseconds on a CPU, all threads: finer than the clock ticks, and per
# exchange it does not depend on how many exchanges the window held.
cpuns() { awk '{ s += $1 } END { printf "%d\n", s }' /proc/$gw/task/*/schedstat; }
exchanges() {
  (exec 3<>"/dev/tcp/127.0.0.1/$http_port"; printf 'GET /metrics HTTP/1.0\r\n\r\n' >&3; cat <&3) |
    awk '/^varno_line_exchanges_total/ { s += $2 } END { printf "%d\n", s }'
}
# Times a thread went to sleep: the wake-ups that cost a small box most.
sleeps() { awk '/^voluntary_ctxt_switches/ { s += $2 } END { printf "%d\n", s }' /proc/$gw/task/*/status; }
x0=$(exchanges); ns0=$(cpuns); w0=$(sleeps)
before=$(cpu); t0=$(date +%s%N); m0=$(wc -l < measures.txt)
threadcpu > threads0.txt
sleep "$seconds"
after=$(cpu); t1=$(date +%s%N); m1=$(wc -l < measures.txt)
ns1=$(cpuns); w1=$(sleeps); x1=$(exchanges)
threadcpu > threads1.txt
kill -0 "$gw" || { echo "the gateway died:"; cat gateway.log; exit 1; }
hwm=$(awk '/^VmHWM/ { print $2 }' "/proc/$gw/status")
rss=$(awk '/^VmRSS/ { print $2 }' "/proc/$gw/status")
threads=$(awk '/^Threads/ { print $2 }' "/proc/$gw/status")
wall=$(( (t1 - t0) / 1000000 ))
if [ -n "$pacing" ]; then
  linekind="replies at once (no pacing)"
elif [ "$burst" = 0 ]; then
  linekind="paced, each byte at its own time"
else
  linekind="paced, in bursts of about $burst us"
fi
awk -v pacing="$linekind" -v c=$((after - before)) -v hz="$ticks" -v ms="$wall" -v hwm="$hwm" -v rss="$rss" \
    -v n=$((m1 - m0)) -v th="$threads" -v lines=$lines -v units=$units -v warm="$warmup" -v poll="$poll" \
    -v ns=$((ns1 - ns0)) -v x=$((x1 - x0)) -v w=$((w1 - w0)) 'BEGIN {
  share = 100 * (ns / 1e9) / (ms / 1000)
  printf "gateway: %d lines x %d units at 9600 baud, poll interval %s s, %.0f s measured after a start-up of %d s\n", lines, units, poll, ms / 1000, warm
  printf "  line:          %s\n", pacing
  printf "  CPU share:     %.2f %% of one core (%d ticks)   target < 1.2 %%\n", share, c
  if (x > 0) printf "  per exchange:  %.0f us of CPU, %.1f wake-ups (all threads), over %d exchanges (%.1f per second)\n", ns / 1000 / x, w / x, x, x / (ms / 1000)
  printf "  peak memory:   %.1f MiB (VmHWM), now %.1f MiB, %d threads   target < 32 MiB\n", hwm / 1024, rss / 1024, th
  printf "  measures:      %d published (%.1f per second)\n", n, n / (ms / 1000)
}'
if [ -n "$page" ]; then
  echo "  page events:   $(grep -c '^data: ' events.txt) sent to the open event stream"
fi
echo "  per thread:      ticks  wake-ups per exchange"
join <(sort threads0.txt) <(sort threads1.txt) |
  awk -v x=$((x1 - x0)) '{ printf "    %-16s %5d  %.2f\n", $2, $6 - $3, (x > 0 ? ($7 - $4) / x : 0) }'
curl_free_metrics=$(exec 3<>"/dev/tcp/127.0.0.1/$http_port"; printf 'GET /metrics HTTP/1.0\r\n\r\n' >&3; cat <&3)
logged=()
for l in $(seq 1 $lines); do logged+=("$(wc -l < "sim$l.out")"); done
# The exchange time against the floor the line allows, over the whole run:
# every request the simulators logged, each at its floor (the first read's
# 20 ms pause runs while the request and the reply header travel; the
# second ends 20 ms after the header or with the reply's last byte),
# against the time the gateway's reads took in all.
if [ -z "$pacing" ]; then
  took=$(echo "$curl_free_metrics" | awk '/^varno_line_exchange_duration_seconds_sum/ { s += $2 } END { printf "%.6f\n", s }')
  for l in $(seq 1 $lines); do head -n "${logged[$((l - 1))]}" "sim$l.out"; done | awk -v took="$took" '
    / rx / && /; tx / {
      split($0, halves, " -> ")
      rx = halves[1]; sub(/.* rx /, "", rx)
      n = split(rx, t, " "); data = 0; inData = 0
      for (i = 1; i <= n; i++) { if (t[i] == "|") inData = 1; else if (inData) data++ }
      request = 14 + (data > 0 ? data + 4 : 0)
      tx = halves[2]; sub(/.*; tx /, "", tx); sub(/ after .*/, "", tx); sub(/,.*/, "", tx)
      reply = split(tx, r, " ")
      byte = 10 / 9600 * 1000
      first = (request + 14) * byte; if (first < 20) first = 20
      second = first + 20; if ((request + reply) * byte > second) second = (request + reply) * byte
      floor += second; n_tx++
    }
    END {
      if (n_tx == 0) exit
      printf "  exchange time: %.1f s for %d requests against a floor of %.1f s: %+.2f %%   target at most +1 %%\n",
             took, n_tx, floor / 1000, 100 * (took * 1000 - floor) / floor
    }'
fi
echo "$curl_free_metrics" | grep -E '^varno_line_(exchanges_total|exchange_duration_seconds_(sum|count))' | sed 's/^/  /'
begin=$(date +%s%N)
kill -TERM "$gw"; wait "$gw" || true
echo "  stop on SIGTERM: $(( ($(date +%s%N) - begin) / 1000000 )) ms"
