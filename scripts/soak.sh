#!/usr/bin/env bash
# The soak: real openers and reference agents in rounds, with random kills
# (SIGKILL, and the termination signals), agent delays and injected faults
# (a full settings file system, an agent that never claims, agents killed
# before and after claiming) for SECONDS.
# Every tract's fate is checked and the last line reads
# "lost: N, duplicated: N, silent failures: N". Not part of the test command.
#
#   bash scripts/soak.sh SECONDS [SEED]
#
# A round in progress at the end is finished (up to 30 s more). The full
# file system rounds need root (to mount a small tmpfs); the rounds in which
# the opener spawns its bundled agent run only while no other agent process
# of the user exists, so where it can the soak runs in a process namespace
# of its own, where it sees only its own agents.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ $# -lt 1 ]; then
  echo "usage: bash scripts/soak.sh SECONDS [SEED]" >&2
  exit 2
fi

bash scripts/install-deps.sh >/dev/null
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)" --target cv_soak corvantis-opener CorvantisAgent >/dev/null
export CV_BUILD_DIR="$PWD/build"
if unshare --pid --fork --mount-proc true 2>/dev/null; then
  exec unshare --pid --fork --mount-proc build/tests/stress/cv_soak "$@"
fi
exec build/tests/stress/cv_soak "$@"
