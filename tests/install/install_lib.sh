# Helpers of the install and package tests; sourced by their scripts.
# Every script runs with `set -euo pipefail`, in a temporary folder of its own
# ($work) that is removed on exit.

readonly kSkip=77

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

skip() {
  echo "SKIP: $*" >&2
  exit "$kSkip"
}

need_tools() {
  local tool
  for tool in "$@"; do
    command -v "$tool" >/dev/null || fail "$tool is missing (scripts/install-deps.sh installs it)"
  done
}

# make_work: creates $work and removes it when the script exits.
make_work() {
  work=$(mktemp -d "${TMPDIR:-/tmp}/cv-install-test.XXXXXX")
  trap 'rm -rf "$work"' EXIT
}

# install_into PREFIX [DESTDIR]: `cmake --install` of the build tree.
install_into() {
  DESTDIR="${2:-}" cmake --install "$build_dir" --prefix "$1" >"$work/install.log" 2>&1 ||
    { cat "$work/install.log" >&2; fail "cmake --install --prefix $1 failed"; }
}

# wait_for SECONDS COMMAND...: polls COMMAND every 0.1 s until it succeeds.
wait_for() {
  local limit=$(( $1 * 10 )) i
  shift
  for (( i = 0; i < limit; i++ )); do
    "$@" && return 0
    sleep 0.1
  done
  return 1
}

# hermetic_desktop DATA_DIR: a desktop session of nobody's: own HOME and XDG
# folders, the given data folder first in XDG_DATA_DIRS, no display, no bus,
# no user service manager, so `gio` and the opener see only what the test set.
hermetic_desktop() {
  mkdir -p "$work/home" "$work/config" "$work/data" "$work/config-dirs"
  export HOME="$work/home" XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data"
  export XDG_CONFIG_DIRS="$work/config-dirs" XDG_DATA_DIRS="$1:/usr/share"
  export DBUS_SESSION_BUS_ADDRESS="unix:path=$work/no-bus"
  unset DISPLAY WAYLAND_DISPLAY XDG_RUNTIME_DIR XDG_CURRENT_DESKTOP DESKTOP_SESSION APPDATA
}

# open_like_a_file_manager OPENER_PROGRAM AGENT_PROGRAM: `gio open` on a fresh
# tract, as a double-click does, with a settings folder of the test's own and
# an agent that claims late, so the request can be read before it is claimed.
# Checks that the request says "origin" "mac-opener", that the opener and
# the agent run from the given installed programs, that the agent handles the
# tract, and that the opener quits.
# Another agent run on the machine that holds no lock (a test of someone
# else's) keeps the opener from starting one: a young one is waited for as
# "starting", an old one is refused. Such a run is stopped and retried, up
# to five times, after a pause.
open_like_a_file_manager() {
  local attempt rc
  for attempt in 1 2 3 4 5; do
    rc=0
    (open_once "$@") || rc=$?
    [[ $rc -eq 75 ]] || return "$rc"
    echo "attempt $attempt: the opener saw a foreign agent run without its lock; retrying" >&2
    sleep 10
  done
  fail "a foreign agent run kept the opener from starting the agent"
}

# dump_run: what the opener and the agent wrote, for a failure message.
dump_run() {
  echo "--- opener:" >&2
  cat "$work/gio.out" >&2 2>/dev/null || true
  echo "--- agent.log:" >&2
  cat "$settings/agent.log" >&2 2>/dev/null || true
}

foreign_agent_seen() {
  grep -qE "An older Corvantis Agent is still running|agent pid [0-9]+ is starting" "$work/gio.out"
}

# give_up_on OPENER_PID: ends the opener of this attempt.
give_up_on() {
  [[ -n $1 ]] && kill "$1" 2>/dev/null || true
}

open_once() {
  local opener_program=$1 agent_program=$2
  settings=$(mktemp -d "$work/settings.XXXXXX")
  local tract="$work/docs/plan.corva"
  mkdir -p "$work/docs"
  echo "tract" >"$tract"
  export CORVANTIS_AGENT_DIR="$settings" CORVANTIS_LOG_STDERR=1
  export CORVANTIS_AGENT_CLAIM_DELAY=3 CORVANTIS_AGENT_IDLE_EXIT=1
  gio open "$tract" >"$work/gio.out" 2>&1 || { cat "$work/gio.out" >&2; fail "gio open failed"; }

  wait_for 10 compgen -G "$settings/open-requests/*.json" >/dev/null ||
    { foreign_agent_seen && exit 75; dump_run; fail "no request appeared in $settings/open-requests"; }
  local request
  request=$(cat "$settings"/open-requests/*.json)
  echo "request: $request"
  [[ $request == *'"origin":"mac-opener"'* ]] || fail "the request does not say origin mac-opener: $request"
  [[ $request == *"\"path\":\"$tract\""* ]] || fail "the request does not name $tract: $request"

  local opener_pid
  opener_pid=$(sed -n 's/.*"pid":\([0-9]*\).*/\1/p' <<<"$request")
  local exe
  exe=$(readlink "/proc/$opener_pid/exe" || true)
  [[ $exe == "$opener_program" ]] || fail "the opener runs ${exe:-<gone>}, not $opener_program"

  if ! wait_for 10 grep -q '"pid"' "$settings/agent.lock" 2>/dev/null; then
    foreign_agent_seen && { give_up_on "$opener_pid"; exit 75; }
    dump_run
    fail "no agent took agent.lock"
  fi
  local agent_pid
  agent_pid=$(sed -n 's/.*"pid":\([0-9]*\).*/\1/p' "$settings/agent.lock")
  exe=$(readlink "/proc/$agent_pid/exe" || true)
  [[ $exe == "$agent_program" ]] || fail "the agent runs ${exe:-<gone>}, not $agent_program"

  wait_for 20 grep -qxF "open $tract" "$settings/agent.log" 2>/dev/null ||
    { dump_run; fail "the agent did not handle $tract"; }
  wait_for 20 bash -c "! kill -0 $opener_pid 2>/dev/null" || fail "the opener (pid $opener_pid) did not quit"
  wait_for 20 bash -c "! kill -0 $agent_pid 2>/dev/null" || fail "the agent (pid $agent_pid) did not quit"
  [[ -z $(ls -A "$settings/open-requests") ]] || fail "requests left: $(ls -A "$settings/open-requests")"
  echo "opener:"; cat "$work/gio.out"
  echo "agent.log:"; cat "$settings/agent.log"
  return 0
}
