#!/usr/bin/env bash
# Cross-builds the library and its unit tests for arm64 with Debian's cross
# tool chain and arm64 libraries, and runs the tests under qemu-user. It
# shows that the value texts and packed numbers come out the same on the
# usual home of a serial line as on a PC (GCC contracts floating point by
# default on arm64).
#
#   bash scripts/cross-test.sh        (as root the first time: it installs
#                                      the cross tool chain and libraries)
#
# The tests that start the built programs as processes (app, e2e, the
# simulator process, the example) are left out: the host cannot run arm64
# programs without qemu in front of them.
set -euo pipefail
cd "$(dirname "$0")/.."

arch=arm64
triplet=aarch64-linux-gnu
build=build-$arch
packages=(
  g++-$triplet qemu-user
  libwxgtk3.2-dev:$arch   # wx-config for arm64 and the wxBase library
  libboost-dev:$arch libgtest-dev:$arch libgmock-dev:$arch
)
tests=(
  tests/model/model_tests
  tests/serial/serial_tests
  tests/protocol/protocol_frame_tests
  tests/protocol/protocol_value_tests
  tests/protocol/protocol_exchange_tests
  tests/monitor/monitor_tests
  tests/sim/sim_tests
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "cross-test: missing packages: ${missing[*]}"
    echo "cross-test: run as root:  dpkg --add-architecture $arch && apt-get update && apt-get install ${missing[*]}"
    exit 1
  fi
  echo "cross-test: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  dpkg --add-architecture $arch
  apt-get update -qq -o DPkg::Lock::Timeout=600
  apt-get install -y -qq --no-install-recommends -o DPkg::Lock::Timeout=600 "${missing[@]}" > /dev/null
fi

mkdir -p "$build"
cat > "$build/toolchain.cmake" <<EOF
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER $triplet-gcc)
set(CMAKE_CXX_COMPILER $triplet-g++)
set(CMAKE_LIBRARY_ARCHITECTURE $triplet)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
EOF

launcher=()
if command -v ccache > /dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$PWD/$build/toolchain.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARNO_WERROR=ON "${launcher[@]}" \
  -DwxWidgets_CONFIG_EXECUTABLE=/usr/lib/$triplet/wx/config/gtk3-unicode-3.2 > "$build/configure.log" \
  || { cat "$build/configure.log"; exit 1; }
targets=()
for t in "${tests[@]}"; do targets+=(--target "$(basename "$t")"); done
cmake --build "$build" -j"$(nproc)" "${targets[@]}" > "$build/build.log" 2>&1 \
  || { tail -n 40 "$build/build.log"; exit 1; }

echo "built for: $(readelf -h "$build/${tests[0]}" | sed -n 's/^ *Machine: *//p')"
failed=0
total=0
for t in "${tests[@]}"; do
  log="$build/$(basename "$t").log"
  if qemu-aarch64 "$build/$t" --gtest_brief=1 > "$log" 2>&1; then
    status=passed
  else
    status=FAILED
    failed=1
  fi
  count=$(sed -n 's/^\[==========\] \([0-9]*\) tests\? from .* ran\..*/\1/p' "$log")
  total=$((total + ${count:-0}))
  printf '%-28s %4s tests  %s\n' "$(basename "$t")" "${count:-?}" "$status"
  [ "$status" = passed ] || tail -n 30 "$log"
done
if [ $failed -ne 0 ]; then
  echo "cross-test: arm64 unit tests FAILED"
  exit 1
fi
echo "cross-test: all $total arm64 unit tests passed under qemu-aarch64"
