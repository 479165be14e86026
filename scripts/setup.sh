#!/usr/bin/env bash
# Installs what building, testing and the demo need on a Debian 12 machine
# (run as root). Safe to run again: it only installs what is missing.
# With --i386 it also prepares the i386 root whose 32-bit Wine runs the
# shipped updater in the tests; with --release it installs only what the
# release build (scripts/release.sh) needs, and no Wine.
set -euo pipefail

packages=(
  cmake make g++ googletest
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
  wine wine64 debootstrap util-linux
  python3 python3-pytest python3-pytest-xdist python3-pefile python3-cryptography
  clang libclang-rt-14-dev clang-format cppcheck libssl-dev libcurl4-openssl-dev nginx rsync strace
  osslsigncode varnish rclone nghttp2-client curl sshfs openssh-sftp-server openssl softhsm2 opensc
)
# node and npm for the tests' local S3 server, unless a node install is there.
command -v npm >/dev/null || packages+=(nodejs npm)

if [ "${1:-}" = "--release" ]; then
  packages=(cmake make g++ g++-mingw-w64-i686 binutils-mingw-w64-i686 libssl-dev libcurl4-openssl-dev
            osslsigncode openssl)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

[ "${1:-}" = "--release" ] && exit 0
here=$(cd "$(dirname "$0")" && pwd)

# The object-store tests' S3 server, pinned, in the project's own build folder.
s3rver=$here/../build/s3rver
if [ ! -x "$s3rver/node_modules/.bin/s3rver" ]; then
  mkdir -p "$s3rver"
  npm install --prefix "$s3rver" --no-save --no-audit --no-fund --loglevel=error s3rver@3.7.1
fi
"$here/wine-x86_64.sh" --init

if [ "${1:-}" = "--i386" ]; then
  "$here/make-i386-root.sh"
fi
