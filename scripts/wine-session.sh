#!/usr/bin/env bash
# Starts or stops the Wine session the tests, the demo and people use:
# an Xvfb display, the project's Wine prefix (made on first use) and a
# persistent wineserver with Wine's helper services.
#
#   scripts/wine-session.sh start   # idempotent; prints nothing when already up
#   scripts/wine-session.sh stop    # ends wineserver, every Wine process, Xvfb
#   scripts/wine-session.sh status
#
# The helpers are started with their standard streams on a log file, so no
# test's pipe is ever held open by them.
# KORVEN_WINE_DIR chooses the session folder (default: build/x86_64/wine, the
# folder the tests use; the programs are taken from its parent build folder).
# KORVEN_WINE_HOOKS=0 leaves out the registration hooks: a bare prefix, as on
# a new Windows machine (the installer's test).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(dirname "$here")"
wine_dir="${KORVEN_WINE_DIR:-$root/build/x86_64/wine}"
mkdir -p "$wine_dir"
wine_dir="$(cd "$wine_dir" && pwd)"

export WINEPREFIX="$wine_dir/prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
WINE64=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver64
log="$wine_dir/session.log"

xvfb_alive() {
  [ -f "$wine_dir/xvfb.pid" ] && kill -0 "$(cat "$wine_dir/xvfb.pid")" 2>/dev/null
}

free_display() {
  local n
  for n in $(seq 91 199); do
    if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then
      echo "$n"
      return 0
    fi
  done
  return 1
}

wait_for() { # deadline-seconds command...
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ $SECONDS -ge $deadline ] && return 1
    sleep 0.05
  done
}

start() {
  if ! xvfb_alive; then
    local n
    n="$(free_display)" || { echo "wine-session: no free X display" >&2; exit 1; }
    Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp </dev/null >>"$log" 2>&1 &
    echo $! >"$wine_dir/xvfb.pid"
    wait_for 20 test -e "/tmp/.X11-unix/X$n" || { echo "wine-session: Xvfb did not start" >&2; exit 1; }
    echo ":$n" >"$wine_dir/display"
  fi
  export DISPLAY
  DISPLAY="$(cat "$wine_dir/display")"
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    "$WINE64" wineboot -i </dev/null >>"$log" 2>&1
    "$WINESERVER" -w </dev/null >>"$log" 2>&1 || true
  fi
  # A persistent server and the services, detached from the caller's streams.
  "$WINESERVER" -p </dev/null >>"$log" 2>&1 || true
  "$WINE64" wineboot </dev/null >>"$log" 2>&1
  # Registration steps of the build's own programs (scripts/prefix.d/*.sh),
  # each given the build folder; they run with WINEPREFIX and DISPLAY set.
  [ "${KORVEN_WINE_HOOKS:-1}" = 0 ] && return 0
  local hook
  for hook in "$root"/scripts/prefix.d/*.sh; do
    [ -f "$hook" ] || continue
    bash "$hook" "$(dirname "$wine_dir")" </dev/null >>"$log" 2>&1 ||
      { echo "wine-session: $(basename "$hook") failed (see $log)" >&2; exit 1; }
  done
  return 0
}

stop() {
  "$WINESERVER" -k </dev/null >/dev/null 2>&1 || true
  "$WINESERVER" -w </dev/null >/dev/null 2>&1 || true
  if xvfb_alive; then
    local pid
    pid="$(cat "$wine_dir/xvfb.pid")"
    kill "$pid" 2>/dev/null || true
    wait_for 10 bash -c "! kill -0 $pid 2>/dev/null" || kill -9 "$pid" 2>/dev/null || true
  fi
  rm -f "$wine_dir/xvfb.pid" "$wine_dir/display"
}

case "${1:-}" in
  start) start ;;
  stop) stop ;;
  status)
    if xvfb_alive; then echo "display $(cat "$wine_dir/display") prefix $WINEPREFIX"; else echo "stopped"; exit 1; fi ;;
  *) echo "usage: $0 start|stop|status" >&2; exit 2 ;;
esac
