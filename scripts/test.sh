#!/usr/bin/env bash
# Sets up, builds and runs every test: a plain build with warnings as
# errors, then a clang build under AddressSanitizer and
# UndefinedBehaviorSanitizer with a short run of each fuzz target, the
# thread tests under ThreadSanitizer, the unit tests built for arm64 and
# run under qemu (scripts/cross-test.sh), and last the Debian packages
# installed into a bare Debian 12.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

# The bare Debian 12 of the package test needs only the network and the
# disk: debootstrap it beside the builds instead of after them.
chroot_prep=
if [ "$(id -u)" -eq 0 ] && command -v debootstrap > /dev/null; then
  mkdir -p build
  (source scripts/bookworm-chroot.sh && chroot_prepare) > build/chroot-prepare.log 2>&1 &
  chroot_prep=$!
fi

jobs=$(nproc)
# Each step says how far into the run it starts.
step() { printf '== %s   [%dm%02ds in]\n' "$1" $((SECONDS / 60)) $((SECONDS % 60)); }
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

step "plain build"
# Tests on explicitly: scripts/demo.sh configures the same build folder
# without them, and the cache would otherwise keep that.
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARNO_WERROR=ON -DVARNO_BUILD_TESTS=ON
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure --timeout 600 --no-tests=error

step "sanitizer build (ASan + UBSan)"
CC=clang CXX=clang++ cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug \
  -DVARNO_SANITIZE=ON -DVARNO_FUZZ=ON -DVARNO_WERROR=ON -DVARNO_BUILD_TESTS=ON
cmake --build build-asan -j"$jobs"
ctest --test-dir build-asan --output-on-failure --timeout 900 --no-tests=error

step "thread tests under ThreadSanitizer"
# Only the tests of objects shared between threads: the rest has no threads.
CC=clang CXX=clang++ cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug \
  -DVARNO_SANITIZE_THREAD=ON -DVARNO_WERROR=ON
cmake --build build-tsan -j"$jobs" --target thread_tests
# clang 14's ThreadSanitizer cannot always lay out its shadow memory under
# the address randomisation of newer kernels; run without it where allowed.
norandom=()
if setarch "$(uname -m)" -R true 2>/dev/null; then
  norandom=(setarch "$(uname -m)" -R)
fi
TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1} \
  "${norandom[@]}" build-tsan/tests/threads/thread_tests

shopt -s nullglob
for fuzzer in build-asan/fuzz/fuzz_*; do
  [ -x "$fuzzer" ] || continue
  echo "== $(basename "$fuzzer") (6 s)"
  corpus=$(mktemp -d)
  "$fuzzer" -max_total_time=6 -print_final_stats=1 "$corpus" 2>&1 | tail -n 12
  rm -rf "$corpus"
done

step "arm64 cross build, unit tests under qemu"
bash scripts/cross-test.sh

# Last, as a user installs it: the Debian packages, built and then
# installed into a bare Debian 12. Needs root and the Debian mirror; the
# test says why when it skips.
step "Debian packages in a bare Debian 12"
if [ -n "$chroot_prep" ] && ! wait "$chroot_prep"; then
  cat build/chroot-prepare.log
  echo "the bare Debian 12 could not be prepared beside the builds; the install test tries again"
fi
if [ "$(id -u)" -eq 0 ]; then
  bash scripts/package.sh
  bash tests/deploy/debian_install.sh dist
else
  echo "debian_install: SKIPPED: needs root (scripts/package.sh and a chroot)"
fi
step "all tests passed"
