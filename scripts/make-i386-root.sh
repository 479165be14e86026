#!/usr/bin/env bash
# Prepares an i386 Debian root with 32-bit Wine. The host cannot install
# 32-bit Wine (its i386 package index lags the amd64 one), yet the updater the
# players run is the 32-bit build, so the tests run it in here.
set -euo pipefail

root=${KORVANTH_I386_ROOT:-/var/tmp/korvanth-i386}
marker="$root/.korvanth-ready"
here=$(cd "$(dirname "$0")" && pwd)
[ -f "$marker" ] && exit 0

if [ -e "$root" ]; then
  # A half-made root from an interrupted run; nothing is ever left mounted in
  # it (mounts live in private namespaces), but check before deleting.
  if grep -q " $root/" /proc/self/mounts; then
    echo "make-i386-root: $root has mounts, not touching it" >&2
    exit 1
  fi
  rm -rf "$root"
fi

echo "make-i386-root: bootstrapping $root"
debootstrap --arch=i386 --variant=minbase bookworm "$root" >/dev/null
cp /etc/hosts "$root/etc/hosts"
cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
unshare -m --propagation private /bin/sh -c "
  mount --bind /proc '$root/proc' && mount --bind /dev '$root/dev' &&
  chroot '$root' /bin/sh -c 'apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends wine wine32 libgnutls30 >/dev/null'"
"$here/wine-i386.sh" --init
touch "$marker"
