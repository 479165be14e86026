#!/usr/bin/env bash
# Fuzzes the manifest parser for a bounded time:   fuzz.sh [SECONDS]   (default 30)
# The seed corpus in tests/fuzz/corpus is copied, never written: what the
# fuzzer finds stays in build/fuzz/corpus, and a crash input in build/fuzz.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-30}
cd "$repo"
CC=clang CXX=clang++ cmake -S . -B build/fuzz -DKORVANTH_FUZZ=ON -DKORVANTH_BUILD_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build/fuzz --target manifest_fuzz -j "$(nproc)" >/dev/null
mkdir -p build/fuzz/corpus
cp -n tests/fuzz/corpus/* build/fuzz/corpus/
cd build/fuzz
set +e
./manifest_fuzz -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 corpus >fuzz.log 2>&1
rc=$?
set -e
grep -E "^stat::number_of_executed_units|^stat::peak_rss_mb" fuzz.log || true
if [ "$rc" -ne 0 ]; then
  tail -n 40 fuzz.log
  echo "fuzz: the parser failed a property (exit $rc); the input is in build/fuzz" >&2
fi
exit "$rc"
