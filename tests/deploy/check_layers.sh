#!/usr/bin/env bash
# The layer check passes on the tree and fails on each kind of back-edge,
# naming the file: a lower layer including a higher one, a layer including
# a tool folder, and an include that climbs out with "..".
set -euo pipefail
source_dir=$1
script="$source_dir/cmake/checklayers.cmake"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake -DROOT="$source_dir" -P "$script" || { echo "the tree itself breaks the layering"; exit 1; }

# file to add | its include line
cases=(
  'serial/added.cpp|#include "protocol/frame.h"'
  'base/added.h|#include "model/measure.h"'
  'model/added.cpp|#include "serial/serialport.h"'
  'protocol/added.h|  #  include <monitor/point.h>'
  'monitor/added.cpp|#include "app/options.h"'
  'base/added.cpp|#include "../monitor/point.h"'
)
for entry in "${cases[@]}"; do
  file=${entry%%|*}
  line=${entry#*|}
  rm -rf "$work/root"
  mkdir -p "$work/root"
  for dir in base serial model protocol monitor app; do mkdir -p "$work/root/$dir"; done
  printf '%s\n' "$line" > "$work/root/$file"
  if out=$(cmake -DROOT="$work/root" -P "$script" 2>&1); then
    echo "not refused: $file with '$line'"; exit 1
  fi
  grep -q "$file" <<< "$out" || { echo "refusal does not name $file: $out"; exit 1; }
done

# Includes a layer may make pass: its own folder, those below, system headers.
rm -rf "$work/root"; mkdir -p "$work/root"
for dir in base serial model protocol monitor; do mkdir -p "$work/root/$dir"; done
printf '#include "base/error.h"\n#include "model/measure.h"\n#include <wx/string.h>\n' > "$work/root/protocol/ok.cpp"
printf '#include "protocol/frame.h"\n#include "monitor/point.h"\n' > "$work/root/monitor/ok.cpp"
cmake -DROOT="$work/root" -P "$script" || { echo "allowed includes were refused"; exit 1; }
echo "layer check: tree clean, ${#cases[@]} back-edges refused"
