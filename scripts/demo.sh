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
keys=build/demo-keys
if [ ! -f "$keys/studio.pub.pem" ]; then
  mkdir -p "$keys"
  (umask 077 && openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:3072 -out "$keys/studio.pem" 2>/dev/null)
  openssl pkey -in "$keys/studio.pem" -pubout -out "$keys/studio.pub.pem"
fi
cmake --no-warn-unused-cli -S . -B build/demo-updater -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake \
  -DKORVANTH_BUILD_TESTS=OFF "-DKORVANTH_RELEASE_KEYS=$repo/$keys/studio.pub.pem" >/dev/null
cmake --build build/demo-updater -j "$(nproc)" --target KorvanthUpdater >/dev/null
exec /usr/bin/python3 scripts/demo.py
