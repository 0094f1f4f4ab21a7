#!/usr/bin/env bash
# A gateway left running for months meets the same events again and again:
# reloads, a broker that restarts, a line that vanishes and comes back,
# HTTP clients that hang up half way. Each round here brings all of them;
# after the rounds the gateway must hold the descriptors and threads it
# held before them, and go on publishing. A leak of one descriptor or one
# thread per event shows after a handful of rounds here, and after a few
# weeks in the field as a gateway that can no longer open anything.
set -euo pipefail
gateway=$1
unitsim=$2
units=$3
rounds=${4:-6}

source "$(dirname "$0")/../support/testlib.sh"

on_failure() {
  for f in gateway.log sim.out broker.log; do
    [ -f "$f" ] && { echo "--- $f"; tail -n 25 "$f"; }
  done
  echo "--- messages (last 20)"; tail -n 20 messages.txt 2>/dev/null | cut -c1-200
}
fail() { echo "FAIL: $*"; exit 1; }

mqtt_port=$(free_port) || fail "no free port"
http_port=$(free_port "$mqtt_port") || fail "no free port"
printf 'listener %s 127.0.0.1\nallow_anonymous true\n' "$mqtt_port" > broker.conf
broker_pid=
start_broker() {
  mosquitto -c broker.conf >> broker.log 2>&1 &
  broker_pid=$!
  pids+=("$broker_pid")
  wait_for "port_in_use $mqtt_port 0A" 50
}
sim_pid=
start_sim() {
  : > sim.out
  "$unitsim" --no-pacing --link line "$units" > sim.out 2>&1 &
  sim_pid=$!
  pids+=("$sim_pid")
  wait_for 'grep -q listening sim.out 2>/dev/null' 50
}
start_broker
start_sim

touch messages.txt
record() {
  mosquitto_sub -h 127.0.0.1 -p "$mqtt_port" -t 'varno/#' -v >> messages.txt 2>> sub.log &
  pids+=($!)
}
record

# Rounds alternate between two files: a unit more or less on the line
# (the line is started anew) and another keep-alive (a new broker client).
write_config() {
  cat > gateway.yaml <<CONF
poll_interval: 0.2
mqtt:
  host: 127.0.0.1
  port: $mqtt_port
  client_id: soakgw
  keepalive: $1
http:
  listen: 127.0.0.1:$http_port
lines:
  - name: line1
    device: $work/line
    units:
      - address: 1.2.3
CONF
  if [ "$2" = yes ]; then
    printf '      - address: 1.2.4\n' >> gateway.yaml
  fi
}
write_config 5 no
"$gateway" -c gateway.yaml > gateway.log 2>&1 &
gateway_pid=$!
pids+=("$gateway_pid")

# Waits until a measure of 1.2.3 comes after everything recorded so far:
# the line, the broker connection and the publishing all work again.
fresh_measure() {
  local from
  from=$(wc -l < messages.txt)
  wait_for "awk -v from=$from 'NR > from && /^varno\/line1\/1[.]2[.]3\/measure /' messages.txt | grep -q ." 200
}
fresh_measure

descriptors() { ls "/proc/$gateway_pid/fd" | wc -l; }
threads() { awk '/^Threads:/ { print $2 }' "/proc/$gateway_pid/status"; }

http_clients() {
  for _ in 1 2 3; do
    exec 5<>"/dev/tcp/127.0.0.1/$http_port"
    printf 'GET /metrics HTTP/1.0\r\n\r\n' >&5
    cat <&5 > /dev/null
    exec 5<&-
    # Half a request, then gone.
    exec 5<>"/dev/tcp/127.0.0.1/$http_port"
    printf 'GET /hea' >&5
    exec 5<&-
  done
}

round() {
  local n=$1
  if [ $((n % 2)) -eq 0 ]; then write_config 5 no; else write_config 6 yes; fi
  kill -HUP "$gateway_pid"
  http_clients
  kill -KILL "$broker_pid"; wait "$broker_pid" 2>/dev/null || true
  start_broker
  record
  kill "$sim_pid"; wait "$sim_pid" 2>/dev/null || true
  start_sim
  fresh_measure
}

# One round first, so that everything made once and kept (the resolver,
# buffers, the HTTP server's threads) is there before counting.
round 1
base_fds=$(descriptors)
base_threads=$(threads)
for n in $(seq 2 $((rounds + 1))); do
  round "$n"
done
http_clients

# Counted once the gateway has settled: a connection just closed may still
# be on its way out.
settled() { [ "$(descriptors)" -le "$base_fds" ] && [ "$(threads)" -le "$base_threads" ]; }
timed_out() {
  echo "descriptors: $base_fds before the rounds, $(descriptors) after:"
  ls -l "/proc/$gateway_pid/fd" | sed 's/^.* [0-9][0-9]:[0-9][0-9] //'
  echo "threads: $base_threads before the rounds, $(threads) after"
  return 1
}
wait_for settled 50 || fail "$rounds rounds left descriptors or threads behind"
kill -0 "$gateway_pid" || fail "the gateway is gone"
restarts=$(grep -c 'mqtt: connected' gateway.log)
[ "$restarts" -gt "$rounds" ] || fail "only $restarts broker connections in $rounds rounds"
echo "ok: $rounds rounds of reloads, broker and line restarts and broken HTTP clients;" \
     "$base_fds descriptors and $base_threads threads before and after"
