#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for SECONDS (default 5),
# starting from the seeds in fuzz/seeds/<target>/. Fails when a target finds a
# crash (the input is left in <build>/artifacts/) or none was built. The build
# tree is build-fuzz, or CV_FUZZ_BUILD_DIR when set.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-5}
build=${CV_FUZZ_BUILD_DIR:-build-fuzz}

CC=clang CXX=clang++ cmake -S . -B "$build" -DCV_FUZZ=ON >/dev/null
targets=()
for src in fuzz/fuzz_*.cpp; do
  targets+=("$(basename "$src" .cpp)")
done
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}"

mkdir -p "$build/artifacts"
status=0
found=0
for target in "$build"/fuzz/fuzz_*; do
  [ -x "$target" ] || continue
  found=1
  name=$(basename "$target")
  corpus="$build/corpus/$name"
  dirs=("$corpus")
  [ -d "fuzz/seeds/$name" ] && dirs+=("fuzz/seeds/$name")
  log="$build/$name.log"
  mkdir -p "$corpus"
  echo "== $name for ${seconds}s"
  rc=0
  "$target" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$name-" "${dirs[@]}" >"$log" 2>&1 || rc=$?
  grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|#[0-9]+[[:space:]]*DONE)' "$log" || true
  if [ "$rc" -ne 0 ]; then
    echo "$name failed (exit $rc):" >&2
    tail -n 40 "$log" >&2
    status=1
  fi
done
if [ "$found" -eq 0 ]; then
  echo "no fuzz targets were built" >&2
  status=1
fi
exit "$status"
