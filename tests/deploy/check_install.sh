#!/usr/bin/env bash
# Installs the build into a scratch prefix and builds an application
# against it with find_package(varno), as a user of the library would.
set -euo pipefail
build=$1
source_dir=$2
compiler=$3
link_flags=${4:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" > "$work/install.log"
for f in bin/varno_cycle bin/varno_unitsim include/varno/protocol/serialportvarnoprotocol.h \
         include/varno/model/pointparam.h share/man/man1/varno_cycle.1; do
  [ -e "$work/prefix/$f" ] || { echo "not installed: $f"; exit 1; }
done
ls "$work"/prefix/lib*/cmake/varno/varnoConfig.cmake > /dev/null
# The unit starts the program where this installation put it.
unit="$work/prefix/lib/systemd/system/varno-cycle.service"
[ -e "$unit" ] || { echo "not installed: the varno-cycle unit"; exit 1; }
grep -q "^ExecStart=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")/bin/varno_cycle " "$unit" \
  || { echo "the unit does not start the installed program:"; grep ExecStart "$unit"; exit 1; }
# Internal headers of the platform layer stay private.
if find "$work/prefix/include" -name '*platform*' | grep -q .; then
  echo "platform headers were installed"; exit 1
fi

cmake -S "$source_dir" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$work/prefix" \
  -DCMAKE_CXX_COMPILER="$compiler" -DCMAKE_EXE_LINKER_FLAGS="$link_flags" \
  -DVARNO_INCLUDE_ROOT="$work/prefix/include/varno" > "$work/configure.log" \
  || { cat "$work/configure.log"; exit 1; }
cmake --build "$work/consumer" -j2 > "$work/build.log" 2>&1 || { cat "$work/build.log"; exit 1; }
out=$("$work/consumer/consumer")
want="001.002.003|Reading parameters...|1| 0.500 mV|No answer|25.0"
[ "$out" = "$want" ] || { echo "consumer printed '$out', expected '$want'"; exit 1; }
echo "installed library found and used: $out"
