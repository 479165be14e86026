#!/usr/bin/env bash
# Static checks of the C and C++ sources: cppcheck finds nothing, and every
# file is laid out as .clang-format says. Fails on any finding.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
# useStlAlgorithm only asks for a different style of loop.
cppcheck --quiet --error-exitcode=1 --std=c++17 --platform=win32A \
  --enable=warning,style,performance,portability --suppress=useStlAlgorithm \
  --inline-suppr -I src/app -I src/files -I src/net src tests/fuzz tools/publish
git ls-files -z '*.c' '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror
echo "static checks: cppcheck clean, clang-format clean"
