#!/usr/bin/env bash
# The manual page renders without a single warning from either formatter.
set -euo pipefail
page=$1
out=$( { groff -ww -man -z "$page"; mandoc -T lint -W warning "$page"; } 2>&1 ) || true
if [ -n "$out" ]; then
  echo "$out"
  exit 1
fi
# And it says what the tool prints.
for text in "Can't open file" "No addresses in file" "No commands in file" \
            "Error opening port" "Initializing serial port" "No answer"; do
  grep -q -- "$text" "$page" || { echo "missing: $text"; exit 1; }
done
echo "manual page clean"
