#!/bin/sh
# Builds the libFuzzer targets with clang and runs each for a bounded time
# (FUZZ_SECONDS, default 30) from the seed corpus in tests/fuzz/corpus.
# New inputs go to a scratch corpus; a crash leaves its input in build-fuzz/
# and fails the script. Keep crashing inputs in the seed corpus once fixed.
set -e
cd "$(dirname "$0")/.."
SECONDS_EACH=${FUZZ_SECONDS:-30}
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DGPBRIDGE_FUZZ=ON -DGPBRIDGE_TESTS=OFF -DGPBRIDGE_WERROR=ON >/dev/null
cmake --build build-fuzz -j "$(nproc)" --target fuzz_lector fuzz_json
for target in lector json; do
  work="build-fuzz/corpus-$target"
  mkdir -p "$work"
  echo "fuzz_$target: ${SECONDS_EACH}s"
  "build-fuzz/tests/fuzz/fuzz_$target" -max_total_time="$SECONDS_EACH" -print_final_stats=1 \
    -artifact_prefix="build-fuzz/crash-$target-" "$work" "tests/fuzz/corpus/$target" \
    2>"build-fuzz/fuzz-$target.log" || { tail -40 "build-fuzz/fuzz-$target.log"; exit 1; }
  grep -E "stat::number_of_executed_units|Done [0-9]+ runs" "build-fuzz/fuzz-$target.log" || true
done
