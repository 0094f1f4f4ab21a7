#!/usr/bin/env bash
# The manual page renders without a single warning from either formatter.
# Further arguments are texts it must hold (by default those of varno_cycle).
set -euo pipefail
page=$1
shift
texts=("$@")
if [ ${#texts[@]} -eq 0 ]; then
  texts=("Can't open file" "No addresses in file" "No commands in file"
         "Error opening port" "Initializing serial port" "No answer")
fi
out=$( { groff -ww -man -z "$page"; mandoc -T lint -W warning "$page"; } 2>&1 ) || true
if [ -n "$out" ]; then
  echo "$out"
  exit 1
fi
# And it says what the tool prints.
for text in "${texts[@]}"; do
  grep -q -- "$text" "$page" || { echo "missing: $text"; exit 1; }
done
echo "manual page clean"
