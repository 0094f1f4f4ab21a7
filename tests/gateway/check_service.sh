#!/usr/bin/env bash
# The gateway's service unit passes systemd's own checks once its program
# path points at the built gateway, and keeps the promises it is made for.
set -euo pipefail
unit=$1
gateway=$2
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
sed -e "s#/usr/local/bin/varno_gateway#$gateway#g" "$unit" > "$dir/varno-gateway.service"
for line in '^User=varno$' '^SupplementaryGroups=dialout$' '^ExecReload=/bin/kill -HUP \$MAINPID$' \
            '^TimeoutStopSec=1$' '^RestartPreventExitStatus=64 78$' '^Type=notify$' \
            '^WatchdogSec=[1-9]' '^DeviceAllow=char-ttyUSB rw$' '^DeviceAllow=char-ttyACM rw$' \
            '^DeviceAllow=char-ttyS rw$' '^RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6$'; do
  grep -q "$line" "$dir/varno-gateway.service" || { echo "missing: $line"; exit 1; }
done
systemd-analyze verify --man=no "$dir/varno-gateway.service"
# Hardened to 2.5 or better ("OK") while it still reaches its devices and
# the network: nothing may hide those from it.
for line in '^PrivateDevices=yes' '^PrivateNetwork=yes' '^IPAddressDeny=' '^PrivateUsers=yes'; do
  if grep -q "$line" "$dir/varno-gateway.service"; then echo "cuts the gateway off: $line"; exit 1; fi
done
report=$(systemd-analyze security --offline=true --threshold=25 "$dir/varno-gateway.service" 2>&1) \
  || { echo "$report" | tail -n 25; echo "exposure over 2.5"; exit 1; }
echo "$report" | grep 'Overall exposure level' 
echo "service unit clean"
