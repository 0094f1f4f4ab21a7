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
            '^TimeoutStopSec=1$' '^RestartPreventExitStatus=64 78$'; do
  grep -q "$line" "$dir/varno-gateway.service" || { echo "missing: $line"; exit 1; }
done
systemd-analyze verify --man=no "$dir/varno-gateway.service"
echo "service unit clean"
