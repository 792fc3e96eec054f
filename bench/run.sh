#!/usr/bin/env bash
# The launch benchmark: the opener against the limit program and safecat,
# run by run in turn. Builds what it needs in build-bench/, installs safecat,
# gnuplot and dbus-daemon when missing (needs root or sudo then; CI does not
# run this), starts a private session bus, runs the harness and draws the
# chart of the time-to-visible distributions.
#
#   bash bench/run.sh [RUNS]          RUNS per series, at least 30 (default 30)
#
# Environment:
#   OPENER=PATH      time another build's corvantis-opener instead
#   OPENER_LABEL=T   how the tables name that build (default: its git commit)
#   BENCH_DIR=DIR    where the work folder is made (default build-bench; not tmpfs)
#   BENCH_TMPFS=1    allow a tmpfs work folder (default then below /dev/shm):
#                    fsync costs nothing there, which leaves the processes' own costs
#   WAIT_RUNS=N      runs of the 10 s waiting figure (default 3)
#   RSS_RUNS=N       runs of the peak-memory figure (default 5)
#   OUT=DIR          where the results go (default build-bench/bench-out[-tmpfs])
#   MICRO=1          also run the micro-benchmarks (Google Benchmark)
#
# Output: the tables on standard output and in OUT/results.md, the samples
# in OUT/*.txt, the chart in OUT/time-to-visible.png; for this tree's own
# opener the chart is also copied to bench/time-to-visible[-tmpfs].png.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
runs=${1:-30}
[ "$runs" -ge 30 ] 2>/dev/null || { echo "RUNS must be a number of at least 30" >&2; exit 2; }

need=()
command -v safecat >/dev/null || need+=(safecat)
command -v gnuplot >/dev/null || need+=(gnuplot-nox)
command -v dbus-daemon >/dev/null || need+=(dbus-daemon)
if [ ${#need[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "installing: ${need[*]}" >&2
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=300 install -y -qq \
    --no-install-recommends "${need[@]}" >/dev/null
fi

build=$root/build-bench
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=(corvantis-limit corvantis-peak-rss corvantis-bench)
[ -n "${OPENER:-}" ] || targets+=(corvantis-opener CorvantisAgent)
[ "${MICRO:-0}" = 1 ] && targets+=(queue_bench agent_bench opener_bench)
cmake --build "$build" -j2 --target "${targets[@]}" >/dev/null

opener=${OPENER:-$build/Corvantis.app/Contents/MacOS/corvantis-opener}
[ -x "$opener" ] || { echo "no opener at $opener" >&2; exit 1; }
# A fresh work folder below BENCH_DIR; only that one is removed afterwards.
if [ "${BENCH_TMPFS:-0}" = 1 ]; then
  base=${BENCH_DIR:-/dev/shm}
  out=${OUT:-$build/bench-out-tmpfs}
else
  base=${BENCH_DIR:-$build}
  out=${OUT:-$build/bench-out}
fi
work=$(mktemp -d "$base/corvantis-bench.XXXXXX")
rm -rf "$out"
mkdir -p "$out"
fs=$( (findmnt -n -o FSTYPE --target "$work" 2>/dev/null || stat -f -c %T "$work") | head -n1)
if [ "$fs" = tmpfs ] && [ "${BENCH_TMPFS:-0}" != 1 ]; then
  rmdir "$work"
  echo "$base is on tmpfs: choose a folder on disk with BENCH_DIR (or set BENCH_TMPFS=1)" >&2
  exit 1
fi
trap 'rm -rf "$work"' EXIT

# A private session bus for the "with a bus" series.
dbus-daemon --session --address="unix:path=$work/bus" --fork --print-address=3 --print-pid=4 \
  3>"$work/bus.address" 4>"$work/bus.pid"
trap 'kill "$(cat "$work/bus.pid")" 2>/dev/null || true; rm -rf "$work"' EXIT

{
  echo "# Launch benchmark, $(date -u '+%Y-%m-%d %H:%M UTC')"
  echo
  echo "Opener: $opener (${OPENER_LABEL:-$(git -C "$(dirname "$opener")" rev-parse --short HEAD 2>/dev/null || echo '?')})"
  echo
  "$build/bench/corvantis-bench" --opener "$opener" --limit "$build/bench/corvantis-limit" \
    --safecat "$(command -v safecat)" --peak-rss "$build/bench/corvantis-peak-rss" \
    --work "$work" --out "$out" --runs "$runs" --bus "$(head -n1 "$work/bus.address")" \
    --wait-runs "${WAIT_RUNS:-3}" --rss-runs "${RSS_RUNS:-5}"
} | tee "$out/results.md"

gnuplot -e "dir='$out'; runs='$runs'; fs='$fs'" bench/time_to_visible.gp
chart=$out/time-to-visible.png
if [ -z "${OPENER:-}" ]; then
  chart=bench/time-to-visible.png
  [ "$fs" = tmpfs ] && chart=bench/time-to-visible-tmpfs.png
  cp "$out/time-to-visible.png" "$chart"
fi
echo
echo "chart: $chart; tables: $out/results.md"

if [ "${MICRO:-0}" = 1 ]; then
  for b in queue_bench agent_bench opener_bench; do
    [ -x "$build/bench/$b" ] && "$build/bench/$b" --benchmark_min_time=0.2
  done
fi
