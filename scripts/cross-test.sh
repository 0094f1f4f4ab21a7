#!/usr/bin/env bash
# Cross-builds the library, the gateway and their unit tests for arm64 with
# Debian's cross tool chain and arm64 libraries, and runs the tests under
# qemu-user. It shows that the value texts and packed numbers come out the
# same on the usual home of a serial line as on a PC (GCC contracts floating
# point by default on arm64), and that the gateway builds and runs against
# the arm64 builds of its libraries.
#
#   bash scripts/cross-test.sh        (as root the first time: it installs
#                                      the cross tool chain and libraries
#                                      through scripts/setup.sh --cross)
#
# Left out: the tests that start the built programs as processes (the
# poll tool's start-up tests, the end-to-end tests, the simulator process,
# the example and the gateway against a broker). qemu-user runs one
# program; an arm64 program that it starts would need binfmt_misc, which
# a container or CI machine cannot be relied on to have.
set -euo pipefail
cd "$(dirname "$0")/.."

arch=arm64
triplet=aarch64-linux-gnu
build=build-$arch
libdir=/usr/lib/$triplet
# Test programs and the filter each runs with under qemu.
tests=(
  tests/model/model_tests
  tests/serial/serial_tests
  tests/protocol/protocol_frame_tests
  tests/protocol/protocol_value_tests
  tests/protocol/protocol_exchange_tests
  tests/monitor/monitor_tests
  tests/sim/sim_tests
  tests/app/app_tests
  tests/threads/thread_tests
  tests/gateway/gateway_unit_tests
  tests/gateway/gateway_log_tests
  tests/gateway/gateway_page_tests
)
declare -A filter=(
  [app_tests]='-StartUp.*:CycleNetworkLine.*'   # they start the built varno_cycle
  [gateway_unit_tests]='-GatewayLinePoller.*:GatewayReload.*'   # their line is the simulator process
)
# Test programs that start the built programs throughout (see above).
# tests/deploy/check_crosstest.sh holds every unit test program to one of
# the two lists, so that a new one is not left out unnoticed.
left_out=(
  tests/sim/sim_process_tests
  tests/monitor/monitor_line_tests
  tests/sim/cycle_e2e_tests
  tests/protocol/protocol_wakeup_tests   # counts the host's system calls with a paced unit: emulation distorts both
)

bash scripts/setup.sh --cross
mkdir -p "$build"

# yaml-cpp: Debian 12's libyaml-cpp-dev is not multi-arch, so installing its
# arm64 build would remove the host's. Its package and the library's are
# unpacked here instead, unchanged, and CMake is pointed at their config.
deps=$PWD/$build/deps
yaml_dir=$deps/usr/lib/$triplet/cmake/yaml-cpp
if [ ! -f "$yaml_dir/yaml-cpp-config.cmake" ]; then
  # Unpacked beside and moved in whole, so that an interrupted run leaves
  # nothing that looks complete.
  rm -rf "$deps" "$deps.new"
  mkdir -p "$deps.new/debs"
  # Each step chained: set -e does not reach into the left of ||.
  (
    cd "$deps.new/debs" &&
    apt-get download "libyaml-cpp-dev:$arch" &&
    runtime=$(dpkg-deb -f libyaml-cpp-dev_*.deb Depends | sed -n 's/^\(libyaml-cpp[^ ,]*\).*/\1/p') &&
    apt-get download "$runtime:$arch" &&
    for deb in *.deb; do
      dpkg-deb -x "$deb" .. || exit 1
    done
  ) > "$build/yaml-cpp.log" 2>&1 \
    || { cat "$build/yaml-cpp.log"; echo "cross-test: cannot unpack yaml-cpp for $arch"; exit 1; }
  mv "$deps.new" "$deps"
fi

# pkg-config must answer with the arm64 .pc files only; the host's would
# hand the linker its x86 libmosquitto.
cat > "$build/toolchain.cmake" <<EOF
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER $triplet-gcc)
set(CMAKE_CXX_COMPILER $triplet-g++)
set(CMAKE_LIBRARY_ARCHITECTURE $triplet)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
set(ENV{PKG_CONFIG_LIBDIR} "$libdir/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
EOF

launcher=()
if command -v ccache > /dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
# Optimised but without debug information: the tests judge results, and
# the build is the dearest part of this run.
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$PWD/$build/toolchain.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O1 -DNDEBUG" -DVARNO_WERROR=ON -DVARNO_BUILD_TESTS=ON "${launcher[@]}" -Dyaml-cpp_DIR="$yaml_dir" \
  -DwxWidgets_CONFIG_EXECUTABLE=$libdir/wx/config/gtk3-unicode-3.2 > "$build/configure.log" \
  || { cat "$build/configure.log"; exit 1; }
targets=(--target varno_gateway)
for t in "${tests[@]}"; do targets+=(--target "$(basename "$t")"); done
cmake --build "$build" -j"$(nproc)" "${targets[@]}" > "$build/build.log" 2>&1 \
  || { tail -n 40 "$build/build.log"; exit 1; }

# The gateway must load the arm64 builds of its libraries: ask the arm64
# dynamic loader which files it picks, and check each one's machine.
machine() { readelf -h "$1" | sed -n 's/^ *Machine: *//p'; }
gateway=$build/gateway/varno_gateway
echo "built for: $(machine "$gateway")"
loaded=$(qemu-aarch64 -E LD_TRACE_LOADED_OBJECTS=1 "$gateway")
for lib in libmosquitto libyaml-cpp libwx_baseu; do
  path=$(printf '%s\n' "$loaded" | sed -n "s/^[[:space:]]*$lib[^ ]* => \\([^ ]*\\) .*/\\1/p" | head -n 1)
  if [ -z "$path" ] || [ "$(machine "$path")" != AArch64 ]; then
    echo "cross-test: $gateway does not load an arm64 $lib:"
    printf '%s\n' "$loaded"
    exit 1
  fi
  echo "  $lib: $path"
done
if ! qemu-aarch64 "$gateway" --check -c examples/gateway.yaml > "$build/gateway-check.log" 2>&1; then
  cat "$build/gateway-check.log"
  echo "cross-test: the arm64 varno_gateway refuses examples/gateway.yaml"
  exit 1
fi

failed=0
total=0
for t in "${tests[@]}"; do
  name=$(basename "$t")
  log="$build/$name.log"
  args=(--gtest_brief=1)
  if [ -n "${filter[$name]:-}" ]; then
    args+=("--gtest_filter=${filter[$name]}")
  fi
  if qemu-aarch64 "$build/$t" "${args[@]}" > "$log" 2>&1; then
    status=passed
  else
    status=FAILED
    failed=1
  fi
  count=$(sed -n 's/^\[==========\] \([0-9]*\) tests\? from .* ran\..*/\1/p' "$log")
  total=$((total + ${count:-0}))
  printf '%-28s %4s tests  %s\n' "$name" "${count:-?}" "$status"
  [ "$status" = passed ] || tail -n 30 "$log"
done
if [ $failed -ne 0 ]; then
  echo "cross-test: arm64 unit tests FAILED"
  exit 1
fi
echo "left out: ${left_out[*]##*/}; app_tests' ${filter[app_tests]#-}; gateway_unit_tests' ${filter[gateway_unit_tests]#-}"
echo "cross-test: all $total arm64 unit tests passed under qemu-aarch64"
