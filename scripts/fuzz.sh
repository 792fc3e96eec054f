#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for SECONDS (default 5).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-5}

CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCV_FUZZ=ON >/dev/null
cmake --build build-fuzz -j"$(nproc)"
for target in build-fuzz/fuzz/fuzz_*; do
  [ -x "$target" ] || continue
  corpus="build-fuzz/corpus/$(basename "$target")"
  mkdir -p "$corpus"
  echo "== $(basename "$target") for ${seconds}s"
  "$target" -max_total_time="$seconds" -print_final_stats=1 "$corpus" 2>&1 \
    | grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|#[0-9]+ *DONE)' || true
done
