#!/usr/bin/env bash
# The release build:   scripts/release.sh [-DKORVANTH_DEFAULT_BASE_URL=https://...]
# A clean Release build of the shipped 32-bit updater (no tests) and of the
# release tool, into dist/: KorvanthUpdater.exe, korvanth-publish, the
# release tool's .deb, and SHA256SUMS. The same commit and options give the
# same bytes from any folder at any time, so anyone can confirm that a
# shipped updater came from a given commit.
#
# Signing (optional): KORVANTH_SIGN_PFX names a PKCS#12 file with the code
# signing certificate and key, KORVANTH_SIGN_PASSWORD its password (read by
# osslsigncode from a pipe, never on a command line), KORVANTH_SIGN_TIMESTAMP_URL
# an RFC 3161 time-stamp server, if one is to be used.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
scripts/setup.sh --release

# The one date the build needs (the .deb's file times): the commit's.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || echo 1767225600)
fi
export SOURCE_DATE_EPOCH

updater=build/release-updater
tool=build/release-tool
rm -rf "$updater" "$tool" dist
cmake --no-warn-unused-cli -S . -B "$updater" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
  -DCMAKE_BUILD_TYPE=Release -DKORVANTH_BUILD_TESTS=OFF "$@" >/dev/null
cmake --build "$updater" --target KorvanthUpdater -j "$(nproc)" >/dev/null
cmake --no-warn-unused-cli -S . -B "$tool" -DCMAKE_BUILD_TYPE=Release -DKORVANTH_BUILD_TESTS=OFF \
  -DCMAKE_INSTALL_PREFIX=/usr "$@" >/dev/null
cmake --build "$tool" --target korvanth-publish -j "$(nproc)" >/dev/null
(cd "$tool" && cpack -G DEB >/dev/null)

mkdir dist
cp "$tool/tools/publish/korvanth-publish" "$tool"/*.deb dist/
if [ -n "${KORVANTH_SIGN_PFX:-}" ]; then
  sign=(osslsigncode sign -pkcs12 "$KORVANTH_SIGN_PFX" -h sha256 -n "Korvanth Auto-Updater")
  if [ -n "${KORVANTH_SIGN_TIMESTAMP_URL:-}" ]; then
    sign+=(-ts "$KORVANTH_SIGN_TIMESTAMP_URL")
  fi
  # osslsigncode tells its errors on standard output: keep them for a failure.
  if ! "${sign[@]}" -readpass <(printf '%s' "${KORVANTH_SIGN_PASSWORD:-}") \
      -in "$updater/KorvanthUpdater.exe" -out dist/KorvanthUpdater.exe >build/release-sign.log 2>&1; then
    cat build/release-sign.log >&2
    echo "release: signing failed" >&2
    exit 1
  fi
  signed="signed with $(basename "$KORVANTH_SIGN_PFX"); unsigned, reproducible build's SHA-256 $(
    sha256sum "$updater/KorvanthUpdater.exe" | cut -d' ' -f1)"
else
  cp "$updater/KorvanthUpdater.exe" dist/
  signed="NOT signed (set KORVANTH_SIGN_PFX and KORVANTH_SIGN_PASSWORD to sign it)"
fi
(cd dist && sha256sum -- * > SHA256SUMS)

url=$(sed -n 's/^KORVANTH_DEFAULT_BASE_URL:STRING=//p' "$updater/CMakeCache.txt")
echo "release: dist/ holds $(cd dist && echo *)"
echo "release: built-in patch server: $url"
echo "release: KorvanthUpdater.exe is $signed"
echo "release: KorvanthUpdater.exe SHA-256 $(sha256sum dist/KorvanthUpdater.exe | cut -d' ' -f1)"
