#!/usr/bin/env bash
# Runs a 32-bit Windows program under the i386 root's Wine:
#   wine-i386.sh PROGRAM.exe [ARGS...]  |  wine-i386.sh --init  |  wine-i386.sh --stop-server
# The host's /tmp and this repository, with what is mounted below them, appear
# inside at the same paths, and the program starts in the current folder; both
# must lie below one of them. The mounts live in a private mount namespace and
# vanish with it, so nothing stays mounted in the root. Every namespace gets
# the same mounts because the Wine server, which opens files for its programs,
# lives on in the namespace of the run that started it: a host mount made after
# it started is not seen by it (hence --stop-server), and each clone of the
# repository gets a Wine prefix, and so a server, of its own. The server and
# Wine's background processes are started as in wine-x86_64.sh, for the same
# reasons.
set -euo pipefail

root=${KORVANTH_I386_ROOT:-/var/tmp/korvanth-i386}

if [ -z "${KORVANTH_IN_NAMESPACE:-}" ]; then
  KORVANTH_IN_NAMESPACE=1 exec unshare -m --propagation private "$0" "$@"
fi

mount --bind /proc "$root/proc"
mount --bind /dev "$root/dev"

repo=$(cd "$(dirname "$0")/.." && pwd -P)
prefix=/root/wine32-$(printf '%s' "$repo" | md5sum | cut -c1-12)
cwd=$(pwd -P)
if [ "$1" = "--init" ]; then
  set -- wineboot
elif [ "$1" = "--stop-server" ]; then
  :
else
  exe=$(realpath "$1")
  shift
  set -- "$exe" "$@"
fi

# Parents before children, or a later mount would hide an earlier one.
while read -r d; do
  mkdir -p "$root$d"
  mount --rbind "$d" "$root$d"
done < <(printf '%s\n' /tmp "$repo" | awk '{ print length($0) "\t" $0 }' | sort -n | cut -f2-)

if [ "$1" = "--stop-server" ]; then
  # The server's socket lies in /tmp, so only now can it be found.
  chroot "$root" /usr/bin/env -i HOME=/root WINEPREFIX="$prefix" /usr/lib/wine/wineserver -k || true
  exit 0
fi

exec chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/bin:/bin LANG=C.UTF-8 \
  WINEPREFIX="$prefix" WINEDEBUG=-all ${WINEDLLOVERRIDES:+WINEDLLOVERRIDES="$WINEDLLOVERRIDES"} \
  /bin/sh -c 'mkdir -p "$WINEPREFIX"
    if /usr/lib/wine/wineserver -p60 </dev/null >/dev/null 2>&1; then
      # A new prefix is made here, quietly, rather than by the program itself.
      init=-i
      [ -f "$WINEPREFIX/system.reg" ] && init=
      /usr/lib/wine/wine wineboot $init </dev/null >/dev/null 2>&1
    fi
    cd "$1" 2>/dev/null || cd /; shift; exec /usr/lib/wine/wine "$@"' sh "$cwd" "$@"
