#!/usr/bin/env bash
# The main job: builds the application, then launches the opener on a sample
# tract with a fresh settings folder. With no user service manager to start
# the agent, the opener spawns the agent copy inside its bundle, which claims
# and handles the request, idles out, and exits; the opener quits after it.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)" --target corvantis-opener CorvantisAgent

settings=$(mktemp -d /tmp/corvantis-demo.XXXXXX)
trap 'rm -rf "$settings"' EXIT
tract="$PWD/samples/plan.corva"

echo "== settings folder: $settings"
echo "== corvantis-opener $tract"
set +e
env -u DISPLAY -u WAYLAND_DISPLAY \
  CORVANTIS_AGENT_DIR="$settings" CORVANTIS_LOG_STDERR=1 CORVANTIS_AGENT_IDLE_EXIT=2 \
  build/Corvantis.app/Contents/MacOS/corvantis-opener "$tract"
status=$?
set -e
echo "== opener exit status: $status"
echo "== agent.log (the agent's output)"
cat "$settings/agent.log" 2>/dev/null || echo "(none)"
echo "== open-requests after the run"
ls -A "$settings/open-requests" 2>/dev/null || true
exit "$status"
