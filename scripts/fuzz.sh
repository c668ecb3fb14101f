#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for the given number
# of seconds (default 60). Corpora are kept in fuzz-corpus/<target>.
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_EACH="${1:-60}"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DTAGVANE_FUZZ=ON -DTAGVANE_TESTS=OFF \
  -DTAGVANE_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build-fuzz
for target in build-fuzz/fuzz/fuzz_*; do
  name=$(basename "$target")
  mkdir -p "fuzz-corpus/$name"
  echo "== $name for ${SECONDS_EACH}s"
  "$target" "fuzz-corpus/$name" -max_total_time="$SECONDS_EACH" -max_len=65536 -print_final_stats=1 2>&1 |
    grep -E "^(stat::number_of_executed_units|Done|==.*ERROR)" || true
done
