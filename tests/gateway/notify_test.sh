#!/usr/bin/env bash
# The gateway speaks the service manager's notify protocol: a unix
# datagram socket made here stands in for systemd's (NOTIFY_SOCKET), and
# the test reads what arrives: READY=1 once started, watchdog pings at
# half of WATCHDOG_USEC, RELOADING=1 then READY=1 around SIGHUP, and
# STOPPING=1 on SIGTERM. Nothing answers on the broker's port or the
# line's device: readiness does not wait for them.
set -euo pipefail
gateway=$1
source "$(dirname "$0")/../support/testlib.sh"

on_failure() {
  echo "--- datagrams"; tr '\0' '\n' < notify.log 2>/dev/null | cat -A | tail -n 30
  echo "--- gateway.log"; tail -n 30 gateway.log 2>/dev/null
}
# Each datagram on its own line: socat writes them back to back.
datagrams() { cat notify.log 2>/dev/null | sed 's/\(READY\|WATCHDOG\|RELOADING\|STOPPING\)=1/\n&/g'; }
count() { datagrams | grep -c "^$1=1" || true; }

mqtt_port=$(free_port)
cat > gateway.yaml <<YAML
mqtt: {host: 127.0.0.1, port: $mqtt_port, client_id: notify-test}
http: {listen: "off"}
lines:
  - name: quiet
    device: $work/no-such-device
    units:
      - address: 1.2.3
YAML

socat -u UNIX-RECV:"$work/notify.sock" OPEN:notify.log,creat,append &
pids+=($!)
wait_for "[ -S notify.sock ]" 50

# 600 ms: pings every 300 ms. WATCHDOG_PID is left out, as systemd allows.
NOTIFY_SOCKET=$work/notify.sock WATCHDOG_USEC=600000 \
  "$gateway" -c gateway.yaml --log-level debug > gateway.log 2>&1 &
gw=$!
pids+=($gw)

wait_for "[ \$(count READY) -ge 1 ]" 100
grep -q 'STATUS=polling 1 line(s)' notify.log || { echo "no STATUS with the line count"; exit 1; }
# Order before timing: pings come after READY=1, and keep coming.
wait_for "[ \$(count WATCHDOG) -ge 3 ]" 100
first=$(datagrams | grep -m1 -o -E '^(READY|WATCHDOG)=1')
[ "$first" = "READY=1" ] || { echo "first datagram was $first, not READY=1"; exit 1; }

kill -HUP "$gw"
wait_for "[ \$(count RELOADING) -ge 1 ] && [ \$(count READY) -ge 2 ]" 100
grep -q 'MONOTONIC_USEC=[0-9]' notify.log || { echo "RELOADING=1 without MONOTONIC_USEC"; exit 1; }
# READY=1 again after the reload, not before it.
order=$(datagrams | grep -o -E '^(READY|RELOADING)=1' | tr '\n' ' ')
case "$order" in
  "READY=1 RELOADING=1 READY=1 ") ;;
  *) echo "reload order: $order"; exit 1 ;;
esac

kill -TERM "$gw"
wait "$gw" || { echo "gateway exit status $?"; exit 1; }
wait_for "[ \$(count STOPPING) -eq 1 ]" 50

# A bad --log-level is a usage error (64).
code=0
"$gateway" -c gateway.yaml --log-level loud > usage.log 2>&1 || code=$?
[ "$code" -eq 64 ] || { echo "--log-level loud exited $code"; cat usage.log; exit 1; }
grep -q 'is not one of error, warning, info, debug' usage.log || { cat usage.log; exit 1; }
# --log-level warning leaves the info lines out, which debug let through.
grep -q 'started with' gateway.log || { echo "no info line at debug level"; exit 1; }
"$gateway" -c gateway.yaml --log-level error > quiet.log 2>&1 &
gq=$!
pids+=($gq)
sleep 1
kill -TERM "$gq"; wait "$gq" || true
if grep -q 'started with\|cannot open' quiet.log; then
  echo "--log-level error let through:"; cat quiet.log; exit 1
fi
# JOURNAL_STREAM inherited from a service but naming another stream than
# standard error (here a file) keeps the plain lines.
JOURNAL_STREAM=1:1 "$gateway" -c gateway.yaml > inherited.log 2>&1 &
gi=$!
pids+=($gi)
wait_for "grep -q 'started with' inherited.log" 100
kill -TERM "$gi"; wait "$gi" || true
grep -q '^varno_gateway: info: started with ' inherited.log \
  || { echo "not plain lines under a foreign JOURNAL_STREAM:"; cat inherited.log; exit 1; }
echo "notify protocol: $(count READY) READY, $(count WATCHDOG) pings, $(count RELOADING) reload, $(count STOPPING) stop"
