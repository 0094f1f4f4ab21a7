#!/usr/bin/env bash
# Installs what building and testing need, from Debian 12's packages.
# Harmless to run again: it installs only what is missing. As a normal
# user it prints the command to run instead.
#
#   bash scripts/setup.sh          # everything: build, tests, sanitizers, checks
#   bash scripts/setup.sh --demo   # only what building the programs needs
#   bash scripts/setup.sh --cross  # the arm64 cross tool chain, libraries and qemu
set -euo pipefail

# Building the tool, the library, the simulator and the example.
packages=(
  g++ make cmake pkg-config
  libwxgtk3.2-dev        # wx-config and headers; only wxBase is linked
  libboost-dev           # Boost.Any (header-only)
  nlohmann-json3-dev     # the poll tool's --format=json (header-only)
  libyaml-cpp-dev libmosquitto-dev  # varno_gateway (configuration, MQTT)
  libsystemd-dev         # readiness, watchdog and journal fields under systemd
)
foreign=
case "${1:-}" in
--demo)
  ;;
--cross)
  # Debian's multiarch tool chain builds against the arm64 builds of the
  # same libraries, and qemu-user runs the tests. yaml-cpp is not here:
  # Debian 12's libyaml-cpp-dev cannot be installed for two architectures
  # at once, and its arm64 build would take the host's away, so
  # scripts/cross-test.sh unpacks that one into its build folder.
  foreign=arm64
  packages=(
  make cmake pkg-config
  g++-aarch64-linux-gnu qemu-user
  nlohmann-json3-dev     # headers only, the same for every architecture
  libwxgtk3.2-dev:arm64 libboost-dev:arm64 libmosquitto-dev:arm64 libsystemd-dev:arm64
  libgtest-dev:arm64 libgmock-dev:arm64
  )
  ;;
"")
  packages+=(
  libgtest-dev libgmock-dev libbenchmark-dev
  clang llvm             # sanitizer build and the libFuzzer target
  libclang-rt-14-dev     # their runtimes (only recommended by clang)
  socat ser2net          # virtual and remote serial lines
  mandoc groff-base      # manual page checks
  systemd                # systemd-analyze, for the service unit check
  mosquitto mosquitto-clients prometheus  # gateway tests: broker, mosquitto_sub, promtool
  chromium python3-websocket  # the status page's browser test (DevTools protocol)
  dpkg-dev debhelper lintian  # the Debian packages (scripts/package.sh)
  debootstrap            # a bare Debian 12 to install them in (tests/deploy/debian_install.sh)
  )
  ;;
*)
  echo "usage: setup.sh [--demo | --cross]" >&2
  exit 64
  ;;
esac

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all packages present"
  exit 0
fi

# --no-remove: a package of the other architecture that cannot sit beside
# the host's must stop the installation, never replace what the host build uses.
cmd="apt-get install -y --no-install-recommends --no-remove ${missing[*]}"
add_arch=
if [ -n "$foreign" ] && ! dpkg --print-foreign-architectures | grep -qx "$foreign"; then
  add_arch="dpkg --add-architecture $foreign && "
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "setup: missing packages: ${missing[*]}"
  echo "setup: run as root:  ${add_arch}apt-get update && $cmd"
  exit 1
fi
echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
if [ -n "$add_arch" ]; then
  dpkg --add-architecture "$foreign"
fi
# Others may be installing at the same time; wait for them rather than fail.
apt-get update -qq -o DPkg::Lock::Timeout=600
# ser2net's, mosquitto's and prometheus' packages would start their own
# services; our tests start their own servers and need none of them.
apt-get install -y -qq --no-install-recommends --no-remove -o DPkg::Lock::Timeout=600 "${missing[@]}"
