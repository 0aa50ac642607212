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
#
# 32-bit programs (the x86 build, 32-bit OPC servers) run beside the 64-bit
# ones in the same prefix (WoW64) when Wine's 32-bit loader (Debian's wine32)
# is installed and the kernel executes 32-bit programs. The start finds out
# and writes the answer into <session folder>/wine32: "runs", or "skip: " and
# the reason; the hooks get it as KORVEN_WINE32 (1 or 0). A prefix made
# before the loader could run has no 32-bit side (an empty syswow64): it is
# made anew. KORVEN_WINE32=0 in the environment turns 32-bit programs off, as
# on a machine that cannot run them.
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
WINE32=/usr/lib/wine/wine
WINESERVER=/usr/lib/wine/wineserver64
log="$wine_dir/session.log"
state32="$wine_dir/wine32"

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
  local skip32
  skip32="$(loader32_skip)"
  # Made anew once at most: a prefix made with the loader running is kept,
  # with or without its 32-bit side.
  local made32="$WINEPREFIX/korven-made-with-wine32"
  if [ -f "$WINEPREFIX/system.reg" ] && [ -z "$skip32" ] && ! wow64_prefix && [ ! -f "$made32" ]; then
    echo "wine-session: the prefix has no 32-bit side (made before wine32 could run): made anew" >>"$log"
    "$WINESERVER" -k </dev/null >>"$log" 2>&1 || true
    "$WINESERVER" -w </dev/null >>"$log" 2>&1 || true
    rm -rf "$WINEPREFIX"
  fi
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    "$WINE64" wineboot -i </dev/null >>"$log" 2>&1
    "$WINESERVER" -w </dev/null >>"$log" 2>&1 || true
    [ -n "$skip32" ] || touch "$made32"
  fi
  # A persistent server and the services, detached from the caller's streams.
  "$WINESERVER" -p </dev/null >>"$log" 2>&1 || true
  "$WINE64" wineboot </dev/null >>"$log" 2>&1
  [ -z "$skip32" ] && skip32="$(program32_skip)"
  if [ -z "$skip32" ]; then
    echo "runs" >"$state32"
    export KORVEN_WINE32=1
  else
    echo "skip: $skip32" >"$state32"
    echo "wine-session: 32-bit programs cannot run: $skip32" >>"$log"
    export KORVEN_WINE32=0
  fi
  # Registration steps of the build's own programs (scripts/prefix.d/*.sh),
  # each given the build folder; they run with WINEPREFIX, DISPLAY and
  # KORVEN_WINE32 set. A 32-bit step that fails does not stop the session:
  # it writes "fail: " and the reason into KORVEN_WINE32_STATE, and the
  # 32-bit cases fail with it while everything else runs.
  export KORVEN_WINE32_STATE="$state32"
  [ "${KORVEN_WINE_HOOKS:-1}" = 0 ] && return 0
  local hook
  for hook in "$root"/scripts/prefix.d/*.sh; do
    [ -f "$hook" ] || continue
    bash "$hook" "$(dirname "$wine_dir")" </dev/null >>"$log" 2>&1 ||
      { echo "wine-session: $(basename "$hook") failed (see $log)" >&2; exit 1; }
  done
  return 0
}

# Why Wine's 32-bit loader cannot run here (nothing when it can).
loader32_skip() {
  if [ "${KORVEN_WINE32:-}" = 0 ]; then
    echo "turned off (KORVEN_WINE32=0)"
  elif [ ! -x "$WINE32" ]; then
    echo "Wine's 32-bit loader is not installed ($WINE32; Debian package wine32:i386)"
  elif grep -qx enabled /proc/sys/fs/binfmt_misc/qemu-i386 2>/dev/null; then
    # Each 32-bit process then starts in over a minute: far beyond what the
    # tests (and COM's activations) wait.
    echo "32-bit programs run only under qemu's emulation here (binfmt_misc qemu-i386)"
  else
    local out
    if ! out="$("$WINE32" --version 2>&1 </dev/null)"; then
      # e.g. "Exec format error": this kernel does not execute 32-bit programs.
      echo "the kernel cannot execute Wine's 32-bit loader ($(tail -n1 <<<"$out" | sed 's/^.*: //'))"
    fi
  fi
}

# The prefix has its 32-bit side: Wine's 32-bit system DLLs in syswow64.
wow64_prefix() {
  [ -f "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll" ]
}

# Runs the 32-bit build's architecture probe in the prefix, with a deadline;
# says why 32-bit programs cannot run (nothing when the probe ran as a 32-bit
# program under WoW64). The first 32-bit process of a prefix starts Wine's
# 32-bit side, so the probe also spares the tests that wait.
program32_skip() {
  local probe
  probe="$(dirname "$(dirname "$wine_dir")")/i686/tools/archprobe/archprobe.exe"
  if [ ! -f "$probe" ]; then
    echo "no 32-bit build beside this one ($probe is missing)"
    return 0
  fi
  if ! wow64_prefix; then
    echo "the prefix has no 32-bit side (no syswow64\\kernel32.dll after wineboot)"
    return 0
  fi
  local out started=$SECONDS
  out="$(timeout -k 5 120 "$WINE32" "$probe" </dev/null 2>>"$log" | tr -d '\r')" || true
  echo "wine-session: $probe: ${out:-no output} ($((SECONDS - started)) s)" >>"$log"
  local first="${out%%$'\n'*}"
  [ "$out" = "archprobe: 32-bit WoW64" ] ||
    echo "the 32-bit probe did not run as a WoW64 program (${first:-no output}; see $log)"
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
