#!/usr/bin/env bash
# Installs what building and testing need, from Debian 12's packages.
# Harmless to run again: it installs only what is missing. As a normal
# user it prints the command to run instead.
#
#   bash scripts/setup.sh          # everything: build, tests, sanitizers, checks
#   bash scripts/setup.sh --demo   # only what building the programs needs
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
if [ "${1:-}" = --demo ]; then
  shift
else
  packages+=(
  libgtest-dev libgmock-dev libbenchmark-dev
  clang llvm             # sanitizer build and the libFuzzer target
  libclang-rt-14-dev     # their runtimes (only recommended by clang)
  socat ser2net          # virtual and remote serial lines
  mandoc groff-base      # manual page checks
  systemd                # systemd-analyze, for the service unit check
  mosquitto mosquitto-clients prometheus  # gateway tests: broker, mosquitto_sub, promtool
  dpkg-dev debhelper lintian  # the Debian packages (scripts/package.sh)
  debootstrap            # a bare Debian 12 to install them in (tests/deploy/debian_install.sh)
  )
fi

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

cmd="apt-get install -y --no-install-recommends ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  echo "setup: missing packages: ${missing[*]}"
  echo "setup: run as root:  apt-get update && $cmd"
  exit 1
fi
echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# ser2net's, mosquitto's and prometheus' packages would start their own
# services; our tests start their own servers and need none of them.
apt-get install -y -qq --no-install-recommends "${missing[@]}"
