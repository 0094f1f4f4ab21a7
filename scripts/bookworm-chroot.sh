# Sourced by scripts/package.sh and tests/deploy/debian_install.sh: a
# throwaway bare Debian 12 (debootstrap --variant=minbase) to build or
# install packages in, with the mirror this machine uses. The chroot is
# kept as a tarball and the downloaded packages in a cache
# ($VARNO_DEPLOY_CACHE, default /var/cache/varno-deploy), so that the next
# one neither debootstraps nor downloads again. Needs root.
#
#   chroot_make          sets $chroot_dir, ready for chroot_run
#   chroot_run CMD...    runs CMD inside with a clean environment
#   chroot_cleanup       unmounts and removes it (call it at exit)

chroot_cache=${VARNO_DEPLOY_CACHE:-/var/cache/varno-deploy}
chroot_suite=bookworm
chroot_dir=
chroot_mounts=()

# The mirror this machine uses, from either form of the sources list; empty
# when there is none.
chroot_mirror() {
  local mirror
  mirror=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
           awk '$1 == "deb" && $0 ~ / '"$chroot_suite"'( |$)/ {
                  for (i = 2; i <= NF; ++i) if ($i ~ /^https?:/) { print $i; exit } }')
  if [ -z "$mirror" ]; then
    mirror=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null |
             awk '/^URIs:/ && !/security/ { print $2; exit }')
  fi
  echo "$mirror"
}

chroot_cleanup() {
  local i
  for ((i = ${#chroot_mounts[@]} - 1; i >= 0; --i)); do
    umount "${chroot_mounts[i]}" 2>/dev/null || umount -l "${chroot_mounts[i]}" 2>/dev/null || true
  done
  [ -n "$chroot_dir" ] || return 0
  # Never delete through a mount that is still there (the package cache).
  if grep -q " $chroot_dir/" /proc/self/mounts; then
    echo "chroot: $chroot_dir is still mounted on; left in place"
  else
    rm -rf "$chroot_dir"
  fi
}

# Makes the cached tarball of a fresh debootstrap if there is none yet; it
# needs only the network, so scripts/test.sh runs it beside the builds.
chroot_prepare() {
  local mirror tarball arch dir
  arch=$(dpkg --print-architecture)
  mirror=$(chroot_mirror)
  [ -n "$mirror" ] || { echo "chroot: no Debian mirror in /etc/apt/sources.list*"; return 1; }
  mkdir -p "$chroot_cache/archives/partial"
  tarball="$chroot_cache/$chroot_suite-minbase-$arch.tar"
  [ -s "$tarball" ] && return 0
  dir=$(mktemp -d /var/tmp/varno-debootstrap.XXXXXX)
  echo "chroot: debootstrap --variant=minbase $chroot_suite from $mirror"
  if ! debootstrap --variant=minbase --cache-dir="$chroot_cache/archives" "$chroot_suite" \
      "$dir" "$mirror" > "$chroot_cache/debootstrap.log" 2>&1; then
    tail -n 30 "$chroot_cache/debootstrap.log"
    rm -rf "$dir"
    return 1
  fi
  tar -C "$dir" -cf "$tarball.tmp.$$" . && mv "$tarball.tmp.$$" "$tarball"
  rm -rf "$dir"
}

chroot_make() {
  chroot_prepare || return 1
  chroot_dir=$(mktemp -d /var/tmp/varno-chroot.XXXXXX)
  tar -C "$chroot_dir" -xf "$chroot_cache/$chroot_suite-minbase-$(dpkg --print-architecture).tar"
  # Its top is / for every user inside (apt's, man's): not mktemp's 0700,
  # which the tarball's "." also carries.
  chmod 755 "$chroot_dir"
  mount -t proc proc "$chroot_dir/proc"
  chroot_mounts+=("$chroot_dir/proc")
  mount --bind "$chroot_cache/archives" "$chroot_dir/var/cache/apt/archives"
  chroot_mounts+=("$chroot_dir/var/cache/apt/archives")
  cp /etc/resolv.conf "$chroot_dir/etc/resolv.conf" 2>/dev/null || true
  # Nothing starts services inside, and what apt downloads stays for next time.
  printf '#!/bin/sh\nexit 101\n' > "$chroot_dir/usr/sbin/policy-rc.d"
  chmod 755 "$chroot_dir/usr/sbin/policy-rc.d"
  # The cache is shared with the host, where apt's own user may not write.
  printf '%s\n' 'Binary::apt::APT::Keep-Downloaded-Packages "true";' 'APT::Sandbox::User "root";' \
    > "$chroot_dir/etc/apt/apt.conf.d/99varno"
}

chroot_run() {
  chroot "$chroot_dir" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive \
    LANG=C.UTF-8 HOME=/root "$@"
}
