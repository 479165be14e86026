#!/usr/bin/env bash
# The demo: installs what it needs, builds the updater, and runs it under Wine
# against a local HTTPS patch server serving a small sample release,
# published with the operator's tool (see demo.py).
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
scripts/setup.sh
cmake --no-warn-unused-cli -S . -B build/x86_64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake >/dev/null
cmake --build build/x86_64 -j "$(nproc)" --target KorvanthUpdater StandInGame TrustCa >/dev/null
cmake -S . -B build/native >/dev/null
cmake --build build/native -j "$(nproc)" --target korvanth-publish >/dev/null
exec /usr/bin/python3 scripts/demo.py
