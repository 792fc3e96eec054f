#!/usr/bin/env bash
# Measures one whole hand-over: the opener, launched on a tract, against an
# agent that already runs. Prints the opener's wall time (median and worst of
# RUNS runs) and its peak resident memory. Run after a build:
#   bash bench/handover.sh [RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-20}
app=build/Corvantis.app/Contents
[ -x "$app/MacOS/corvantis-opener" ] || { echo "build first: cmake --build build" >&2; exit 1; }

work=$(mktemp -d /tmp/corvantis-bench.XXXXXX)
export CORVANTIS_AGENT_DIR="$work/settings" CORVANTIS_LOG_STDERR=1
unset DISPLAY WAYLAND_DISPLAY
mkdir -p "$work/settings"
printf 'tract\n' > "$work/plan.corva"

"$app/Resources/agent/CorvantisAgent" >"$work/agent.out" 2>"$work/agent.err" &
agent=$!
trap 'kill $agent 2>/dev/null; wait $agent 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 100); do
  "$app/Resources/agent/CorvantisAgent" --tool status 2>/dev/null | grep -q '^agent running' && break
  sleep 0.05
done

times=()
for _ in $(seq "$runs"); do
  start=$(date +%s%N)
  "$app/MacOS/corvantis-opener" "$work/plan.corva" 2>/dev/null
  end=$(date +%s%N)
  times+=($(( (end - start) / 1000000 )))
done
sorted=($(printf '%s\n' "${times[@]}" | sort -n))
echo "hand-over to a running agent, $runs runs: median ${sorted[$((runs / 2))]} ms, worst ${sorted[$((runs - 1))]} ms"
echo "requests handled by the agent: $(grep -c '^open ' "$work/agent.out")"
/usr/bin/time -f 'opener peak resident memory: %M KiB' "$app/MacOS/corvantis-opener" "$work/plan.corva" 2>&1 >/dev/null \
  | grep 'peak resident'
