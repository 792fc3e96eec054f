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

# install-deps.sh installs clang; without it the fuzz targets would go
# untested, and a run that skips them is no pass.
if ! command -v clang++ >/dev/null; then
  echo "clang++ not found after install-deps.sh: the fuzz targets cannot be built" >&2
  exit 1
fi
bash scripts/fuzz.sh 5

ctest --test-dir build-san --output-on-failure -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"
