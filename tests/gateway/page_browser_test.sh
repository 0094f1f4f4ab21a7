#!/usr/bin/env bash
# The status page in a real browser: simulated units, a private mosquitto,
# the gateway, and headless chromium driven over its DevTools protocol.
#
#   page_browser_test.sh GATEWAY UNITSIM UNITS.INI SCREENSHOT.png
set -euo pipefail
gateway=$1
unitsim=$2
units=$3
screenshot=$(realpath -m "$4")
driver=$(dirname "$(realpath "$0")")/page_browser.py

source "$(dirname "$0")/../support/testlib.sh"
on_failure() {
  for f in gateway.log sim.out broker.log; do
    [ -f "$f" ] && { echo "--- $f"; tail -n 20 "$f"; }
  done
}

mqtt_port=$(free_port)
http_port=$(free_port "$mqtt_port")
mosquitto -p "$mqtt_port" > broker.log 2>&1 &
pids+=($!)
mkfifo control
"$unitsim" --no-pacing --link line --control control "$units" > sim.out 2>&1 &
pids+=($!)
wait_for 'grep -q listening sim.out 2>/dev/null' 50
exec 4<>control
wait_for "port_in_use $mqtt_port 0A" 50

cat > gateway.yaml <<CONF
poll_interval: 0.2
mqtt: {host: 127.0.0.1, port: $mqtt_port, client_id: pagetest}
http: {listen: 127.0.0.1:$http_port}
lines:
  - name: line1
    device: $work/line
    units:
      - {address: 1.2.3, name: Boiler}
      - {address: 1.2.4, name: "<img src=x onerror=alert(1)>"}
CONF
"$gateway" -c gateway.yaml > gateway.log 2>&1 &
pids+=($!)
wait_for "listens_on $http_port $!" 50

mkdir -p "$(dirname "$screenshot")"
/usr/bin/python3 "$driver" /usr/bin/chromium "http://127.0.0.1:$http_port/" "$work/control" \
  "$screenshot" "$work/profile"

# A tab storm: 16 event streams open, the 17th is refused, and a stream
# that closes makes room again.
open_stream() {  # $1: fd variable name; the status line into $status
  exec {fd}<>"/dev/tcp/127.0.0.1/$http_port"
  printf 'GET /events HTTP/1.1\r\nHost: localhost\r\n\r\n' >&$fd
  read -r -t 10 status <&$fd || status=none
  printf -v "$1" '%s' "$fd"
}
# The gateway sees a close when it reads; on a loaded machine that may
# take a moment (the browser's own stream, one closed here), so a refused
# try is closed again and repeated for a while.
open_ok() {  # $1: fd variable name
  local tries=50
  until open_stream "$1"; [[ $status == *" 200 "* ]]; do
    exec {fd}<&-
    tries=$((tries - 1))
    [ "$tries" -gt 0 ] || { echo "FAIL: no room for a stream: $status"; exit 1; }
    sleep 0.1
  done
}
streams=()
for _ in $(seq 1 16); do
  open_ok fd_now
  streams+=("$fd_now")
done
open_stream extra
case "$status" in *" 503 "*) ;; *) echo "FAIL: the 17th stream: $status"; exit 1 ;; esac
exec {extra}<&-
exec {streams[0]}<&-
open_ok again
echo "ok: 16 event streams at most"

echo "browser test passed; screenshot in $screenshot"
