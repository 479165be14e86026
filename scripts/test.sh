#!/usr/bin/env bash
# Builds everything and runs every test: static checks, the unit tests of all
# three builds (the Windows ones under Wine), a bounded fuzzing pass over the
# manifest parser, and the end-to-end suite, which runs both built updaters
# against patch servers on loopback. Needs root (packages, the i386 root,
# mount namespaces, a tmpfs for the full-disk row).
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"

scripts/setup.sh --i386
scripts/static-checks.sh
scripts/build.sh
for tree in native x86_64 i686; do
  echo "== unit tests: $tree"
  ctest --test-dir "build/$tree" --output-on-failure
done
echo "== fuzzing the manifest parser"
scripts/fuzz.sh "${KORVANTH_FUZZ_SECONDS:-30}"
echo "== end-to-end tests"
# On two workers: most of a run under Wine is waiting (the ending's pause,
# a server's pace), and the release build's tests share one of them.
/usr/bin/python3 -m pytest -q -p no:cacheprovider -n 2 --dist loadgroup tests/product tests/tools tests/e2e
