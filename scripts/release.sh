#!/usr/bin/env bash
# The release build:   scripts/release.sh [-DKORVANTH_DEFAULT_BASE_URL=https://...]
#                                          [-DKORVANTH_RELEASE_KEYS=release.pub.pem]
# A clean Release build of the shipped 32-bit updater (no tests) and of the
# operator's tools, into dist/: KorvanthUpdater.exe, korvanth-publish,
# korvanth-mirror with its agent and its object store part, korvanth-nginx-conf
# and the configuration it fills in (each finds the other beside it, as when
# installed), the release tool's .deb, and SHA256SUMS. The same commit
# and options give the same bytes from any folder at any time, so anyone can
# confirm that a shipped updater came from a given commit.
#
# Signing (optional): KORVANTH_SIGN_PFX names a PKCS#12 file with the code
# signing certificate and key, KORVANTH_SIGN_PASSWORD its password (read by
# osslsigncode from a pipe, never on a command line), KORVANTH_SIGN_TIMESTAMP_URL
# an RFC 3161 time-stamp server, if one is to be used.
#
# Whatever fails, dist/ stays as it was: the options and the signing key are
# checked before anything is built, and the new dist/ is put together beside
# it and moved into place only when whole.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
# Relative paths in the options (release keys) are the caller's.
export KORVANTH_INVOKED_FROM=${KORVANTH_INVOKED_FROM:-$PWD}
cd "$repo"
scripts/setup.sh --release

fail() {
  echo "release: $*" >&2
  exit 1
}

# The one date the build needs (the .deb's file times): the commit's.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || echo 1767225600)
fi
export SOURCE_DATE_EPOCH

updater=build/release-updater
tool=build/release-tool
staged=build/release-dist
previous=build/release-dist.previous
mkdir -p build
check=$(mktemp -d build/release-check.XXXXXX)
# Stopped between the two renames at the end, the previous dist/ comes back
# (here, or at the start of the next run if this one was killed outright).
restore_dist() {
  [ -e dist ] || [ ! -e "$previous" ] || mv "$previous" dist
}
restore_dist
trap 'restore_dist; rm -rf "$check" "$staged"' EXIT
trap 'exit 1' HUP INT TERM

# Refusals first. Configuring once checks every -D option the way the build
# itself will (a base URL that is not https and ending in '/', say). What a
# refusal says is the configuration's own message, without CMake's progress
# lines or the log it names, which goes with the check's folder.
if ! cmake --no-warn-unused-cli -S . -B "$check" -DKORVANTH_BUILD_TESTS=OFF "$@" >"$check/log" 2>&1; then
  # Each error's message on one line of its own, joined again where CMake wrapped it.
  awk 'function end() { if (said != "") print "release:" said; said = ""; on = 0 }
    /^CMake Error: / { end(); print "release: " substr($0, 14); next }
    /^CMake Error/ { end(); on = 1; next }
    on && /^  / { sub(/^ +/, " "); said = said $0; next }
    on && !/^$/ { end() }
    END { end() }' "$check/log" >"$check/said"
  if [ -s "$check/said" ]; then cat "$check/said" >&2; else grep -v '^See also ' "$check/log" >&2; fi
  fail "the options were refused; dist/ is unchanged"
fi
if [ -n "${KORVANTH_SIGN_PFX:-}" ]; then
  [ -r "$KORVANTH_SIGN_PFX" ] || fail "$KORVANTH_SIGN_PFX cannot be read; dist/ is unchanged"
  # Older certificate files use algorithms OpenSSL 3 keeps in its legacy set.
  opens_pfx() {
    openssl pkcs12 "$@" -in "$KORVANTH_SIGN_PFX" -noout -passin fd:3 3< <(printf '%s' "${KORVANTH_SIGN_PASSWORD:-}") \
      >/dev/null 2>&1
  }
  opens_pfx || opens_pfx -legacy ||
    fail "$KORVANTH_SIGN_PFX does not open with KORVANTH_SIGN_PASSWORD (or is not a PKCS#12 file); dist/ is unchanged"
fi

rm -rf "$updater" "$tool" "$staged" "$previous"
cmake --no-warn-unused-cli -S . -B "$updater" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
  -DCMAKE_BUILD_TYPE=Release -DKORVANTH_BUILD_TESTS=OFF "$@" >/dev/null
cmake --build "$updater" --target KorvanthUpdater -j "$(nproc)" >/dev/null
cmake --no-warn-unused-cli -S . -B "$tool" -DCMAKE_BUILD_TYPE=Release -DKORVANTH_BUILD_TESTS=OFF \
  -DCMAKE_INSTALL_PREFIX=/usr "$@" >/dev/null
cmake --build "$tool" --target korvanth-publish -j "$(nproc)" >/dev/null
(cd "$tool" && cpack -G DEB >/dev/null)

mkdir "$staged"
cp "$tool/tools/publish/korvanth-publish" "$tool"/*.deb tools/mirror/korvanth-mirror tools/mirror/korvanth-mirror-agent \
  tools/mirror/korvanth-mirror-store \
  tools/nginx/korvanth-nginx-conf tools/nginx/korvanth-patch.conf "$staged/"
if [ -n "${KORVANTH_SIGN_PFX:-}" ]; then
  sign=(osslsigncode sign -pkcs12 "$KORVANTH_SIGN_PFX" -h sha256 -n "Korvanth Auto-Updater")
  if [ -n "${KORVANTH_SIGN_TIMESTAMP_URL:-}" ]; then
    sign+=(-ts "$KORVANTH_SIGN_TIMESTAMP_URL")
  fi
  # osslsigncode tells its errors on standard output: keep them for a failure.
  if ! "${sign[@]}" -readpass <(printf '%s' "${KORVANTH_SIGN_PASSWORD:-}") \
      -in "$updater/KorvanthUpdater.exe" -out "$staged/KorvanthUpdater.exe" >"$check/sign.log" 2>&1; then
    cat "$check/sign.log" >&2
    fail "signing failed; dist/ is unchanged"
  fi
  signed="signed with $(basename "$KORVANTH_SIGN_PFX"); unsigned, reproducible build's SHA-256 $(
    sha256sum "$updater/KorvanthUpdater.exe" | cut -d' ' -f1)"
else
  cp "$updater/KorvanthUpdater.exe" "$staged/"
  signed="NOT signed (set KORVANTH_SIGN_PFX and KORVANTH_SIGN_PASSWORD to sign it)"
fi
(cd "$staged" && sha256sum -- * > SHA256SUMS)

# Whole: the previous dist/ gives way only now.
if [ -e dist ]; then
  mv dist "$previous"
fi
mv "$staged" dist
rm -rf "$previous"

url=$(sed -n 's/^KORVANTH_DEFAULT_BASE_URL:STRING=//p' "$updater/CMakeCache.txt")
keys=$(sed -n 's/^    {"\([0-9a-f]\{16\}\)".*/\1/p' "$updater/generated/release_keys.h" | tr '\n' ' ')
echo "release: dist/ holds $(cd dist && echo *)"
echo "release: built-in patch server: $url"
if [ -n "$keys" ]; then
  echo "release: KorvanthUpdater.exe takes only releases signed by key ${keys% }"
else
  echo "release: KorvanthUpdater.exe takes any release: no release key (-DKORVANTH_RELEASE_KEYS, docs/hosting.md section 9)"
fi
echo "release: KorvanthUpdater.exe is $signed"
echo "release: KorvanthUpdater.exe SHA-256 $(sha256sum dist/KorvanthUpdater.exe | cut -d' ' -f1)"
