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
echo "browser test passed; screenshot in $screenshot"
