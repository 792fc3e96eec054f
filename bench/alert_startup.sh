#!/usr/bin/env bash
# The alert window's start-up: corvantis-alert from its spawn until its
# window is mapped, against corvantis-bare-gtk (one GTK 3 window with a line
# of text and a button), round by round in turn, on a private Xvfb display
# without a window manager. Builds what it needs in build-bench/.
#
#   bash bench/alert_startup.sh [RUNS]     RUNS per program (default 30)
#
# Output: the table on standard output; the samples in
# build-bench/bench-out/alert-startup.txt.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-30}
build=$PWD/build-bench
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target corvantis-alert corvantis-map-time corvantis-bare-gtk >/dev/null
command -v Xvfb >/dev/null || { echo "Xvfb is needed (bash scripts/install-deps.sh)" >&2; exit 1; }
mkdir -p "$build/bench-out"

display=""
for n in $(seq 90 130); do
  [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] || { display=":$n"; break; }
done
[ -n "$display" ] || { echo "no free X display number" >&2; exit 1; }
Xvfb "$display" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'kill $xvfb 2>/dev/null; wait $xvfb 2>/dev/null || true' EXIT
for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X${display#:}" ] && break; sleep 0.05; done

# No session bus: the accessibility bridge and settings then cost what
# they cost on a desktop without them, the same for both programs.
export DISPLAY=$display
unset WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS DESKTOP_STARTUP_ID XDG_ACTIVATION_TOKEN
alert=$build/Corvantis.app/Contents/MacOS/corvantis-alert
"$build/bench/corvantis-map-time" "$runs" \
  corvantis-alert "$alert" --primary "Corvantis Agent" -- \
  "Corvantis Agent couldn't open the tract." :: \
  bare-gtk "$build/bench/corvantis-bare-gtk" \
  2>"$build/bench-out/alert-startup.txt"
