#!/usr/bin/env bash
# The demo: installs what it needs, builds the updater, and runs it under Wine
# against a local patch server serving a small sample release (see demo.py).
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
scripts/setup.sh
cmake --no-warn-unused-cli -S . -B build/x86_64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake >/dev/null
cmake --build build/x86_64 -j "$(nproc)" --target KorvanthUpdater StandInGame TrustCa >/dev/null
exec /usr/bin/python3 scripts/demo.py
