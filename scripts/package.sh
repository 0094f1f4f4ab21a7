#!/usr/bin/env bash
# Builds the Debian packages (varno-cycle, varno-gateway, varno-unitsim,
# libvarno-dev) from this tree and leaves them in dist/, checked by lintian.
# As root it first installs what building needs: the packaging tools and
# the Build-Depends of debian/control; as a normal user it prints the
# command to run instead. The tests are not run (scripts/test.sh does).
#
#   bash scripts/package.sh                # packages for this machine
#   bash scripts/package.sh --arch arm64   # cross-built arm64 packages
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

arch=$(dpkg --print-architecture)
while [ $# -gt 0 ]; do
  case $1 in
    --arch) arch=$2; shift 2 ;;
    -h|--help) sed -n '2,10p' "$0"; exit 0 ;;
    *) echo "package: unknown option $1" >&2; exit 1 ;;
  esac
done
native=$(dpkg --print-architecture)
cross=()
if [ "$arch" != "$native" ]; then
  cross=(-a "$arch")
fi

# A cross build needs the -dev packages of the target architecture, and
# Debian 12's libyaml-cpp-dev is not multi-arch: its arm64 build would
# remove this machine's. So, as sbuild does, cross builds run in a
# throwaway bare Debian 12 (scripts/bookworm-chroot.sh) that holds only
# what the build needs.
if [ ${#cross[@]} -gt 0 ]; then
  [ "$(id -u)" -eq 0 ] || { echo "package: a cross build needs root (a chroot)"; exit 1; }
  command -v debootstrap >/dev/null || { echo "package: a cross build needs debootstrap"; exit 1; }
  source scripts/bookworm-chroot.sh
  trap chroot_cleanup EXIT
  chroot_make
  start=$(date +%s)
  version=$(dpkg-parsechangelog -S Version)
  src="$chroot_dir/build/varno-$version"
  mkdir -p "$src"
  tar -C "$root" --exclude='./build*' --exclude=./dist --exclude=./.git --exclude='./COM[0-9]*' -cf - . |
    tar -C "$src" -xf -
  build_deps=$(awk '/^Build-Depends:/ { on = 1; sub(/^Build-Depends:/, ""); print; next }
                    on && /^[ \t]/ { print; next } { on = 0 }' debian/control | tr -s ' \n' ' ')
  cat > "$chroot_dir/build/cross.sh" <<SCRIPT
set -e
dpkg --add-architecture $arch
apt-get update -qq
apt-get install -y -qq --no-install-recommends build-essential dpkg-dev debhelper crossbuild-essential-$arch
DEB_BUILD_PROFILES=nocheck apt-get satisfy -y -qq --no-install-recommends -a $arch '$build_deps'
cd /build/varno-$version
DEB_BUILD_OPTIONS="nocheck parallel=$(nproc)" dpkg-buildpackage -us -uc -b -a $arch -Pnocheck
SCRIPT
  echo "package: cross-building for $arch in a bare Debian 12"
  chroot_run sh /build/cross.sh > "$chroot_dir/build/build.log" 2>&1 ||
    { tail -n 60 "$chroot_dir/build/build.log"; echo "package: the $arch build failed"; exit 1; }
  echo "package: built in $(( $(date +%s) - start )) s"
  mkdir -p dist
  rm -f dist/*_"$arch".deb dist/*_"$arch".changes dist/*_"$arch".buildinfo
  mv "$chroot_dir"/build/*.deb "$chroot_dir"/build/*.changes "$chroot_dir"/build/*.buildinfo dist/
  ls dist/*_"$version"_"$arch".deb
  if command -v lintian >/dev/null; then
    lintian --fail-on error "dist/varno_${version}_$arch.changes"
    echo "package: lintian found no errors"
  fi
  exit 0
fi

# The build dependencies as debian/control states them, with the test
# tools left out: the build runs with the nocheck profile.
export DEB_BUILD_PROFILES=nocheck
export DEB_BUILD_OPTIONS="nocheck parallel=$(nproc)"
tools=(dpkg-dev debhelper lintian)
if [ ${#cross[@]} -gt 0 ]; then
  tools+=("crossbuild-essential-$arch")
fi

missing_tools=()
for p in "${tools[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing_tools+=("$p")
done
unmet=no
if [ ${#missing_tools[@]} -gt 0 ] ||
   ! dpkg-checkbuilddeps "${cross[@]}" -P nocheck >/dev/null 2>&1; then
  unmet=yes
fi
if [ $unmet = yes ]; then
  build_deps=$(awk '/^Build-Depends:/ { on = 1; sub(/^Build-Depends:/, ""); print; next }
                    on && /^[ \t]/ { print; next } { on = 0 }' debian/control | tr -s ' \n' ' ')
  if [ "$(id -u)" -ne 0 ]; then
    echo "package: build dependencies missing; run as root:"
    [ ${#cross[@]} -gt 0 ] && echo "  dpkg --add-architecture $arch"
    echo "  apt-get update && apt-get install -y --no-install-recommends ${tools[*]}"
    echo "  DEB_BUILD_PROFILES=nocheck apt-get satisfy -y --no-install-recommends ${cross[*]} '$build_deps'"
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  if [ ${#cross[@]} -gt 0 ] && ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
    dpkg --add-architecture "$arch"
  fi
  echo "package: installing the packaging tools and build dependencies"
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${tools[@]}"
  # apt resolves the same field syntax that dpkg-buildpackage checks
  # (alternatives, versions, profiles, :native), so no list is kept twice.
  apt-get satisfy -y -qq --no-install-recommends "${cross[@]}" "$build_deps"
fi

# dpkg-buildpackage writes beside the source folder: build in a copy so
# that nothing lands outside dist/ and no build folder of the tree goes in.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
version=$(dpkg-parsechangelog -S Version)
src="$work/varno-$version"
mkdir "$src"
tar -C "$root" --exclude='./build*' --exclude=./dist --exclude=./.git --exclude='./COM[0-9]*' -cf - . |
  tar -C "$src" -xf -

echo "package: building for $arch"
start=$(date +%s)
(cd "$src" && dpkg-buildpackage -us -uc -b "${cross[@]}") > "$work/build.log" 2>&1 ||
  { tail -n 60 "$work/build.log"; echo "package: dpkg-buildpackage failed"; exit 1; }
echo "package: built in $(( $(date +%s) - start )) s"

mkdir -p dist
rm -f dist/*_"$arch".deb dist/*_"$arch".changes dist/*_"$arch".buildinfo
mv "$work"/*.deb "$work"/*.changes "$work"/*.buildinfo dist/
# The debug symbols are built too; the packages for users are the four.
ls dist/*_"$version"_"$arch".deb

# Errors fail the build; warnings are printed (debian/README.source says
# why the ones left stand).
lintian --fail-on error "dist/varno_${version}_$arch.changes"
echo "package: lintian found no errors"
