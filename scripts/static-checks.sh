#!/usr/bin/env bash
# Static analysis of the updater's and the release tool's sources with
# cppcheck; fails on any finding.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
# useStlAlgorithm only asks for a different style of loop.
cppcheck --quiet --error-exitcode=1 --std=c++17 --platform=win32A \
  --enable=warning,style,performance,portability --suppress=useStlAlgorithm \
  --inline-suppr -I src/app -I src/files -I src/net src tests/fuzz tools/publish
echo "static checks: cppcheck clean"
