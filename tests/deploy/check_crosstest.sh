#!/usr/bin/env bash
# Every GoogleTest program is either run by scripts/cross-test.sh under qemu
# or named there as left out, under the folder that builds it.
#   check_crosstest.sh SOURCE_DIR
set -euo pipefail
root=$1
script=$root/scripts/cross-test.sh

# The paths in one bash array of the script: name=( ... ).
listed() {
  sed -n "/^$1=(/,/^)/p" "$script" | sed -n 's/^ *\(tests\/[^ ]*\).*/\1/p'
}
run=$(listed tests)
out=$(listed left_out)
[ -n "$run" ] || { echo "no tests=( ) list in $script"; exit 1; }

built=$(cd "$root" && grep -o 'varno_gtest( *[a-z_0-9]*' tests/*/CMakeLists.txt \
  | sed 's|^\(tests/[^/]*\)/CMakeLists.txt:varno_gtest( *|\1/|')
fail=0
for t in $built; do
  if ! printf '%s\n' $run $out | grep -qx "$t"; then
    echo "$t is neither run nor left out by scripts/cross-test.sh"
    fail=1
  fi
done
for t in $run $out; do
  if ! printf '%s\n' $built | grep -qx "$t"; then
    echo "scripts/cross-test.sh names $t, which no tests/*/CMakeLists.txt builds"
    fail=1
  fi
done
if printf '%s\n' $run | grep -qxF -f <(printf '%s\n' $out); then
  echo "scripts/cross-test.sh both runs and leaves out a test program"
  fail=1
fi
[ $fail -eq 0 ] && echo "cross test covers $(printf '%s\n' $built | wc -l) test programs"
exit $fail
