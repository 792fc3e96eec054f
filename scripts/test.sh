#!/usr/bin/env bash
# Installs what is missing, builds everything twice (plain, and with
# AddressSanitizer + UndefinedBehaviorSanitizer), runs the fuzz targets for a
# few seconds each, then every test in both builds.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
jobs=$(nproc)

cmake -S . -B build -DCV_WERROR=ON >/dev/null
cmake --build build -j"$jobs"
cmake -S . -B build-san -DCMAKE_BUILD_TYPE=Debug -DCV_WERROR=ON -DCV_SANITIZE=ON >/dev/null
cmake --build build-san -j"$jobs"

if command -v clang++ >/dev/null; then
  bash scripts/fuzz.sh 5
else
  echo "clang++ not found: fuzz targets skipped" >&2
fi

ctest --test-dir build-san --output-on-failure -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"
