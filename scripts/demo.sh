#!/usr/bin/env bash
# The demo: installs what it needs, builds the updater with a release key of
# its own, and runs it under Wine against a local HTTPS patch server serving
# a small sample release, published and signed with the operator's tool, and
# against a tampered copy of it (see demo.py).
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
scripts/setup.sh
cmake --no-warn-unused-cli -S . -B build/x86_64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake >/dev/null
cmake --build build/x86_64 -j "$(nproc)" --target StandInGame TrustCa >/dev/null
cmake -S . -B build/native >/dev/null
cmake --build build/native -j "$(nproc)" --target korvanth-publish >/dev/null
# The studio's release key, made as an operator makes one (docs/hosting.md,
# "Signing releases"), and an updater built with its public half.
# Its passphrase is the demo's own, in the environment as a CI secret would be.
keys=build/demo-keys
export KORVANTH_SIGN_KEY_PASSPHRASE="korvanth demo"
if [ ! -f "$keys/studio.pub.pem" ]; then
  rm -rf "$keys" && install -d -m 700 "$keys"
  build/native/tools/publish/korvanth-publish --generate-key "$keys/studio.pem" >/dev/null
fi
cmake --no-warn-unused-cli -S . -B build/demo-updater -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake \
  -DKORVANTH_BUILD_TESTS=OFF "-DKORVANTH_RELEASE_KEYS=$repo/$keys/studio.pub.pem" >/dev/null
cmake --build build/demo-updater -j "$(nproc)" --target KorvanthUpdater >/dev/null
exec /usr/bin/python3 scripts/demo.py
