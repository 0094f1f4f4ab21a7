#!/usr/bin/env bash
# The example service unit passes systemd's own checks once its program
# path points at the built tool.
set -euo pipefail
unit=$1
tool=$2
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
sed -e "s#/usr/local/bin/varno_cycle#$tool#" -e "s#^WorkingDirectory=.*#WorkingDirectory=$dir#" \
  "$unit" > "$dir/varno-cycle.service"
grep -q '^StandardInput=null' "$dir/varno-cycle.service"
grep -q '^KillSignal=SIGTERM' "$dir/varno-cycle.service"
# The tool sends READY=1 and a watchdog ping per report line.
grep -q '^Type=notify$' "$dir/varno-cycle.service"
grep -q '^WatchdogSec=[1-9]' "$dir/varno-cycle.service"
systemd-analyze verify --man=no "$dir/varno-cycle.service"
echo "service unit clean"
