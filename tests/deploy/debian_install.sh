#!/usr/bin/env bash
# Installs the packages of dist/ into a bare Debian 12 (a debootstrap
# minbase chroot) as a new user would, and checks that they work, build
# an application, keep an edited conffile across a reinstall and purge
# cleanly. Needs root, debootstrap and the Debian mirror; without them it
# says why and exits 0 (skipped). Not part of ctest: scripts/test.sh runs it.
#
#   bash tests/deploy/debian_install.sh [DIST-DIR]
#
# The chroot comes from scripts/bookworm-chroot.sh, which caches it and the
# downloaded packages for the next run.
set -euo pipefail
cd "$(dirname "$0")/../.."
dist=$(cd "${1:-dist}" && pwd)
start=$(date +%s)

skip() { echo "debian_install: SKIPPED: $*"; exit 0; }
[ "$(id -u)" -eq 0 ] || skip "needs root (chroot, mounts, dpkg)"
command -v debootstrap >/dev/null || skip "needs debootstrap (scripts/setup.sh installs it)"

arch=$(dpkg --print-architecture)
mapfile -t debs < <(ls "$dist"/*_"$arch".deb 2>/dev/null | grep -v -- '-dbgsym_' || true)
[ ${#debs[@]} -eq 4 ] || { echo "debian_install: expected 4 packages for $arch in $dist, found ${#debs[@]}"; exit 1; }

source scripts/bookworm-chroot.sh
[ -n "$(chroot_mirror)" ] || skip "no Debian mirror in /etc/apt/sources.list*"
timeout 120 apt-get -qq update >/dev/null 2>&1 || skip "the Debian mirror is out of reach"
trap chroot_cleanup EXIT
chroot_make
dir=$chroot_dir
echo "debian_install: chroot ready after $(( $(date +%s) - start )) s"

mkdir -p "$dir/tmp/dist" "$dir/tmp/consumer"
cp "${debs[@]}" "$dir/tmp/dist/"
cp -r tests/deploy/consumer/. "$dir/tmp/consumer/"

in_chroot() { chroot_run "$@"; }
fail() { echo "debian_install: FAILED: $*"; exit 1; }

in_chroot apt-get update -qq
in_chroot sh -c 'apt-get install -y -qq --no-install-recommends /tmp/dist/*.deb g++ cmake make' \
  > "$dir/install.log" 2>&1 || { tail -n 40 "$dir/install.log"; fail "apt-get install ./dist/*.deb"; }
echo "debian_install: installed after $(( $(date +%s) - start )) s"

in_chroot varno_cycle --version | grep -q '^varno_cycle ' || fail "varno_cycle --version"
in_chroot varno_gateway --check -c /etc/varno/gateway.yaml || fail "varno_gateway --check"
in_chroot varno_unitsim --help >/dev/null 2>&1 || in_chroot test -x /usr/bin/varno_unitsim \
  || fail "varno_unitsim is not installed"
for page in varno_cycle varno_gateway; do
  in_chroot test -e "/usr/share/man/man1/$page.1.gz" || fail "no manual page $page(1)"
done
for unit in varno-cycle varno-gateway; do
  in_chroot test -e "/lib/systemd/system/$unit.service" || fail "no unit $unit.service"
done
in_chroot grep -q '^ExecStart=/usr/bin/varno_gateway ' /lib/systemd/system/varno-gateway.service \
  || fail "the gateway unit does not start /usr/bin/varno_gateway"
# The units as installed pass systemd's own checks, the gateway's hardened
# to an exposure of 2.5 or better.
in_chroot systemd-analyze verify --man=no /lib/systemd/system/varno-cycle.service \
  /lib/systemd/system/varno-gateway.service || fail "systemd-analyze verify"
in_chroot systemd-analyze security --offline=true --threshold=25 \
  /lib/systemd/system/varno-gateway.service > "$dir/security.log" 2>&1 \
  || { tail -n 20 "$dir/security.log"; fail "systemd-analyze security over 2.5"; }
grep 'Overall exposure' "$dir/security.log"
# The service user, made by systemd-sysusers from the package's sysusers.d file.
in_chroot id -nG varno | tr ' ' '\n' | grep -qx dialout || fail "user varno missing or not in dialout"

# An application on the installed library, as the README shows it.
# Only the program: that each header compiles alone is checked on the
# development tree (deploy.install_and_find_package).
in_chroot sh -c 'cmake -S /tmp/consumer -B /tmp/consumer-build -DVARNO_INCLUDE_ROOT=/usr/include/varno >/tmp/consumer.log 2>&1 &&
                 cmake --build /tmp/consumer-build -j2 --target consumer >>/tmp/consumer.log 2>&1' \
  || { tail -n 40 "$dir/tmp/consumer.log"; fail "find_package(varno) consumer"; }
out=$(in_chroot /tmp/consumer-build/consumer)
[ "$out" = "001.002.003|Reading parameters...|1| 0.500 mV|No answer|25.0" ] \
  || fail "the consumer printed '$out'"
echo "debian_install: consumer built and ran after $(( $(date +%s) - start )) s"

# An edited conffile survives a reinstall, and a purge takes it away.
echo "# edited on site" >> "$dir/etc/varno/gateway.yaml"
gateway_deb=$(cd "$dir/tmp/dist" && ls varno-gateway_*.deb)
in_chroot apt-get install -y -qq --reinstall "/tmp/dist/$gateway_deb" > "$dir/reinstall.log" 2>&1 \
  || { cat "$dir/reinstall.log"; fail "reinstall"; }
grep -qx "# edited on site" "$dir/etc/varno/gateway.yaml" || fail "the edited conffile was replaced"
in_chroot varno_gateway --check -c /etc/varno/gateway.yaml >/dev/null || fail "check after reinstall"
in_chroot dpkg --purge varno-gateway > "$dir/purge.log" 2>&1 || { cat "$dir/purge.log"; fail "dpkg --purge"; }
[ ! -e "$dir/etc/varno/gateway.yaml" ] || fail "dpkg --purge left /etc/varno/gateway.yaml"
[ ! -e "$dir/usr/bin/varno_gateway" ] || fail "dpkg --purge left the program"
in_chroot dpkg -s varno-gateway >/dev/null 2>&1 && fail "varno-gateway still known to dpkg"

echo "debian_install: passed in $(( $(date +%s) - start )) s"
