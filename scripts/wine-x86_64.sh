#!/usr/bin/env bash
# Runs a 64-bit Windows program under the host's Wine in the tests' own
# prefix:   wine-x86_64.sh PROGRAM.exe [ARGS...]     or     wine-x86_64.sh --init
set -euo pipefail
export WINEPREFIX=${KORVANTH_WINEPREFIX:-/var/tmp/korvanth-wine64}
export WINEDEBUG=-all
if [ "${1:-}" = "--init" ]; then
  [ -f "$WINEPREFIX/system.reg" ] || /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1
  exit 0
fi
# A server kept for a minute after its last client saves seconds per program
# started (starting one fails when it already runs). Wine's own background
# processes live as long as the server and keep the standard handles of the
# program that started them: start them here, on /dev/null, or a caller
# reading our output through a pipe would wait for the server to go.
if /usr/lib/wine/wineserver -p60 </dev/null >/dev/null 2>&1; then
  /usr/lib/wine/wine64 wineboot </dev/null >/dev/null 2>&1 || true
fi
exec /usr/lib/wine/wine64 "$@"
