#!/usr/bin/env bash
# Configures and builds the three trees: build/i686 (the shipped 32-bit
# updater), build/x86_64 (the same sources, tested under the host's Wine) and
# build/native (the platform-free logic with the host compiler). Extra
# arguments go to every configure, e.g. -DKORVANTH_DEFAULT_BASE_URL=...
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
# Relative paths in the options (release keys) are the caller's.
export KORVANTH_INVOKED_FROM=${KORVANTH_INVOKED_FROM:-$PWD}
cd "$repo"
jobs=$(nproc)

cmake --no-warn-unused-cli -S . -B build/i686 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
  -DCMAKE_CROSSCOMPILING_EMULATOR="$repo/scripts/wine-i386.sh" "$@" >/dev/null
cmake --no-warn-unused-cli -S . -B build/x86_64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake \
  -DCMAKE_CROSSCOMPILING_EMULATOR="$repo/scripts/wine-x86_64.sh" "$@" >/dev/null
cmake -S . -B build/native "$@" >/dev/null
for tree in i686 x86_64 native; do
  cmake --build "build/$tree" -j "$jobs"
done
