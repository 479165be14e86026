#!/usr/bin/env bash
# Fuzzes for a bounded time:   fuzz.sh [SECONDS]   (default 30, split evenly)
# Three targets: the manifest parser (manifest_fuzz), the release tool's
# path rules and manifest lines against that parser (release_rules_fuzz),
# and the signed manifest's check (signature_fuzz, its seeds signed with the
# key in tests/fuzz/signature_fuzz.pub.pem).
# The seed corpora in tests/fuzz/corpus/TARGET are copied, never written:
# what the fuzzer finds stays in build/fuzz/corpus/TARGET, and a failing
# input in build/fuzz as TARGET-crash-*.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-30}
targets=(manifest_fuzz release_rules_fuzz signature_fuzz)
export KORVANTH_FUZZ_KEY=$repo/tests/fuzz/signature_fuzz.pub.pem
export KORVANTH_FUZZ_SIGNED=$repo/tests/fuzz/corpus/signature_fuzz
cd "$repo"
CC=clang CXX=clang++ cmake -S . -B build/fuzz -DKORVANTH_FUZZ=ON -DKORVANTH_BUILD_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build/fuzz --target "${targets[@]}" -j "$(nproc)" >/dev/null
cd build/fuzz
status=0
for target in "${targets[@]}"; do
  mkdir -p "corpus/$target"
  cp -n "$repo/tests/fuzz/corpus/$target"/* "corpus/$target/"
  set +e
  "./$target" -max_total_time=$(((seconds + 2) / 3)) -max_len=4096 -print_final_stats=1 \
    -artifact_prefix="$target-" "corpus/$target" >"$target.log" 2>&1
  rc=$?
  set -e
  echo "$target: $(grep -E "^stat::number_of_executed_units|^stat::peak_rss_mb" "$target.log" | tr '\n' ' ')"
  if [ "$rc" -ne 0 ]; then
    tail -n 40 "$target.log"
    echo "fuzz: $target failed a property (exit $rc); the input is in build/fuzz" >&2
    status=$rc
  fi
done
exit "$status"
