#!/usr/bin/env bash
# The demo: KORVEN serving the items of the simulation OPC server to a DDE
# client that prints their values as they change.
#
#   scripts/demo.sh [-t SECONDS] [--scenario FILE] [--no-build] [ITEM...]
#
# 1. installs what is missing and builds (scripts/build.sh);
# 2. starts the Wine session (scripts/wine-session.sh: an Xvfb display, so no
#    DISPLAY is needed, and the prefix with the OPC proxy/stub DLL and the
#    simulation server registered as "Velmora.Ctrl9.1");
# 3. makes the demo folder <build>/demo: KORVEN.ini with one topic, [Line1],
#    without keys (the default ProgID: the simulation server), and the
#    simulation server's folder sim/ (default item set, or FILE as its scenario);
# 4. starts KORVEN.exe in the demo folder and shows its log (code page 932,
#    converted to UTF-8) as it grows;
# 5. runs the DDE client tool on KORVEN|Line1 with an advise link on each ITEM
#    (default: a few of the simulation's Demo.* items and one unknown item)
#    and prints every value it receives, for SECONDS (default 20, or
#    KORVEN_DEMO_SECONDS); Ctrl-C ends the viewing early;
# 6. ends KORVEN through its Exit command, the simulation server if it still
#    runs, and the Wine session if the demo started it. This also happens on
#    Ctrl-C or a failure: nothing is left running.
#
# Environment:
#   KORVEN_DEMO_SECONDS  viewing time in seconds (default 20; -t overrides it)
#   KORVEN_DEMO_LOCALE   the Unix locale the bridge and the DDE client run in
#                        (default ja_JP.UTF-8: Wine then gives them the Japanese
#                        ANSI code page 932, as on a Japanese Windows; empty:
#                        the caller's locale, usually code page 1252)
#   KORVEN_BUILD_DIR     the x86_64 build folder (default build/x86_64, built by
#                        scripts/build.sh together with build/i686; any other
#                        folder is configured and built for x86_64 alone)
#   KORVEN_WINE_DIR      the session folder; it must be <build folder>/wine.
#                        Given alone, it chooses the build folder (its parent).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

usage() {
  sed -n '2,/^set -euo/p' "${BASH_SOURCE[0]}" | sed -e '$d' -e 's/^# \{0,1\}//'
}

seconds="${KORVEN_DEMO_SECONDS:-20}"
scenario=""
build_first=1
items=()
while [ $# -gt 0 ]; do
  case "$1" in
    -t | --time) seconds="${2:?-t needs a number of seconds}"; shift 2 ;;
    --scenario) scenario="${2:?--scenario needs a file}"; shift 2 ;;
    --no-build) build_first=0; shift ;;
    -h | --help) usage; exit 0 ;;
    -*) echo "demo: unknown option $1" >&2; usage >&2; exit 2 ;;
    *) items+=("$1"); shift ;;
  esac
done
[[ "$seconds" =~ ^[0-9]+$ ]] && [ "$seconds" -gt 0 ] ||
  { echo "demo: the viewing time must be a whole number of seconds above 0" >&2; exit 2; }
if [ -n "$scenario" ]; then
  [ -f "$scenario" ] || { echo "demo: no scenario file $scenario" >&2; exit 2; }
  scenario="$(cd "$(dirname "$scenario")" && pwd)/$(basename "$scenario")"
fi
[ ${#items[@]} -gt 0 ] ||
  items=(Demo.Counter Demo.Ramp Demo.Walk Demo.Switch Demo.Text Demo.Money Demo.Date No.Such.Item)

# Build folder and session folder: the session's registration hooks take the
# programs from the session folder's parent, so the two go together.
if [ -n "${KORVEN_BUILD_DIR:-}" ]; then
  build="$KORVEN_BUILD_DIR"
elif [ -n "${KORVEN_WINE_DIR:-}" ]; then
  build="$(dirname "$KORVEN_WINE_DIR")"
else
  build="$root/build/x86_64"
fi
mkdir -p "$build"
build="$(cd "$build" && pwd)"
if [ -n "${KORVEN_WINE_DIR:-}" ]; then
  mkdir -p "$KORVEN_WINE_DIR"
  if [ "$(cd "$KORVEN_WINE_DIR" && pwd)" != "$build/wine" ]; then
    echo "demo: KORVEN_WINE_DIR must be $build/wine (the build folder's session)" >&2
    exit 2
  fi
fi
export KORVEN_WINE_DIR="$build/wine"

locale_env=()
demo_locale="${KORVEN_DEMO_LOCALE-ja_JP.UTF-8}"
# Wine takes the ANSI code page from LC_ALL (LANG alone was not enough).
[ -n "$demo_locale" ] && locale_env=(LANG="$demo_locale" LC_ALL="$demo_locale")

if [ -t 1 ]; then
  say() { printf '\033[1m--- %s\033[0m\n' "$*"; }
else
  say() { printf -- '--- %s\n' "$*"; }
fi

# --- 1. Build ---------------------------------------------------------------
if [ $build_first -eq 1 ]; then
  say "installing what is missing and building"
  if [ "$build" = "$root/build/x86_64" ]; then
    "$root/scripts/build.sh"
  else
    "$root/scripts/install-deps.sh"
    if [ ! -f "$build/CMakeCache.txt" ]; then
      cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-x86_64.cmake" >/dev/null
    fi
    cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" -- --no-print-directory
  fi
fi
korven_exe="$build/KORVEN.exe"
ddeclient_exe="$build/tools/ddeclient/ddeclient.exe"
windriver_exe="$build/tools/windriver/windriver.exe"
for exe in "$korven_exe" "$ddeclient_exe" "$windriver_exe" "$build/tools/opcsim/opcsim.exe" "$build/idl/KorvenOpcPS.dll"; do
  [ -f "$exe" ] || { echo "demo: $exe is not built" >&2; exit 1; }
done

wine_run() { "$root/scripts/wine-run.sh" "$@"; }

wait_until() { # deadline-seconds command...: polls the command until it succeeds
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ $SECONDS -ge $deadline ] && return 1
    sleep 0.1
  done
}

demo="$build/demo"
sim="$demo/sim"
reg_key='HKCU\Software\Korven\OpcSim'
own_session=0
reg_set=0
reg_previous=""
korven_pid=""
follower_pid=""

failure=""
fail() { # ends the demo; the message follows the bridge's last log lines
  failure="$*"
  exit 1
}

korven_alive() { [ -n "$korven_pid" ] && kill -0 "$korven_pid" 2>/dev/null; }

# The bridge's log in UTF-8 (it writes code page 932; Windows line ends).
korven_log() { iconv -f cp932 -t utf-8 "$demo/korven.log" 2>/dev/null | tr -d '\r'; }

sim_count() { # the number of journal lines of one event
  [ -f "$sim/journal.log" ] || { echo 0; return; }
  awk -v e="$1" '$3 == e' "$sim/journal.log" | wc -l
}
sim_running() { [ "$(sim_count Server.Start)" -gt "$(sim_count Server.Exit)" ]; }

korven_gone() { ! korven_alive; }
follower_gone() { ! kill -0 "$follower_pid" 2>/dev/null; }
sim_gone() { ! sim_running; }

cleanup() {
  local rc=$?
  trap '' INT TERM
  set +e
  if korven_alive; then
    say "ending KORVEN (the Exit command of its status window)"
    wine_run "$windriver_exe" post-command 40007 wait-gone 10000
    if ! wait_until 20 korven_gone; then
      echo "demo: KORVEN did not end; stopping it"
      kill -TERM "$korven_pid" 2>/dev/null
      wait_until 10 korven_gone || kill -KILL "$korven_pid" 2>/dev/null
    fi
  fi
  local korven_rc=""
  if [ -n "$korven_pid" ]; then
    korven_rc=0
    wait "$korven_pid" 2>/dev/null || korven_rc=$?
  fi
  if [ -n "$follower_pid" ]; then
    # The log follower ends by itself once the bridge has gone and its last
    # lines are shown.
    wait_until 5 follower_gone || kill "$follower_pid" 2>/dev/null
    wait "$follower_pid" 2>/dev/null
  fi
  [ -n "$korven_rc" ] && echo "KORVEN ended, exit code $korven_rc"
  korven_pid=""
  [ -n "$failure" ] && echo "demo: $failure" >&2
  if sim_running; then
    say "telling the simulation server to exit"
    printf 'exit\n' >"$sim/demo-exit.tmp" && mv "$sim/demo-exit.tmp" "$sim/demo-exit.cmd"
    wait_until 10 sim_gone || echo "demo: the simulation server did not exit; the session stop ends it"
  fi
  if [ $reg_set -eq 1 ]; then
    if [ -n "$reg_previous" ]; then
      wine_run reg add "$reg_key" /v Folder /d "$reg_previous" /f >/dev/null 2>&1
    else
      wine_run reg delete "$reg_key" /v Folder /f >/dev/null 2>&1
    fi
  fi
  if [ $own_session -eq 1 ]; then
    say "stopping the Wine session"
    "$root/scripts/wine-session.sh" stop
  fi
  exit "$rc"
}
trap cleanup EXIT
trap 'echo; echo "demo: interrupted"; exit 130' INT TERM

# --- 2. Wine session ----------------------------------------------------------
if "$root/scripts/wine-session.sh" status >/dev/null 2>&1; then
  say "using the running Wine session in $KORVEN_WINE_DIR (left running afterwards)"
else
  say "starting the Wine session in $KORVEN_WINE_DIR"
  own_session=1
  # In a session of its own, so that Ctrl-C on this terminal does not reach
  # Xvfb and the Wine server.
  setsid -w "$root/scripts/wine-session.sh" start
fi
echo "display $(cat "$KORVEN_WINE_DIR/display") (virtual, Xvfb)"

# --- 3. Demo folder -----------------------------------------------------------
say "making the demo folder $demo"
rm -rf "$demo"
mkdir -p "$sim"
printf '%s\r\n' \
  '; KORVEN demo: topic Line1, served by the OPC server of the default ProgID' \
  '; (Velmora.Ctrl9.1: here, the simulation server) on this computer.' \
  '[Line1]' >"$demo/KORVEN.ini"
sed 's/^/    /' "$demo/KORVEN.ini" | tr -d '\r'
if [ -n "$scenario" ]; then
  cp "$scenario" "$sim/scenario.txt"
  echo "simulation folder $sim, scenario $scenario"
else
  echo "simulation folder $sim, the default item set (Demo.*)"
fi
reg_previous="$(wine_run reg query "$reg_key" /v Folder 2>/dev/null | tr -d '\r' |
  sed -n 's/.*REG_SZ[[:space:]]*//p' || true)"
wine_run reg add "$reg_key" /v Folder /d "Z:${sim//\//\\}" /f >/dev/null
reg_set=1

# --- 4. The bridge --------------------------------------------------------------
say "starting KORVEN.exe in $demo (its log follows, marked KORVEN |)"
(cd "$demo" && exec env "${locale_env[@]}" setsid "$root/scripts/wine-run.sh" "$korven_exe") \
  </dev/null >"$demo/korven.log" 2>&1 &
korven_pid=$!
(
  # Bytes, not characters, until iconv has converted a line.
  export LC_ALL=C
  tail -n +1 -s 0.2 -F --pid="$korven_pid" "$demo/korven.log" 2>/dev/null |
    while IFS= read -r line; do
      line="${line%$'\r'}"
      # bash warns that the locale is not installed; Wine uses it all the same.
      case "$line" in "bash: warning: setlocale: "*) continue ;; esac
      printf 'KORVEN | %s\n' "$(printf '%s' "$line" | iconv -f cp932 -t utf-8 2>/dev/null || printf '%s' "$line")"
    done
) &
follower_pid=$!

started() { grep -q '^情報：スタートアップ完了。' <(korven_log) || ! korven_alive; }
wait_until 90 started || fail "KORVEN did not finish starting within 90 s"
korven_alive || fail "KORVEN ended during start-up (see its log above)"
window_found() { wine_run "$windriver_exe" find >/dev/null 2>&1 || ! korven_alive; }
wait_until 30 window_found || fail "no status window after 30 s"
korven_alive || fail "KORVEN ended (see its log above)"

# --- 5. The DDE client as a live viewer ---------------------------------------------
view() { # the DDE client's lines, for people: one line per value received
  trap '' INT
  local line item text
  while IFS= read -r line; do
    line="${line%$'\r'}"
    case "$line" in
      "DATA "*)
        item="${line#* item=}"; item="${item%% *}"
        text="${line#* text=}"
        printf '%(%H:%M:%S)T  %-16s %s\n' -1 "$item" "$text" ;;
      "CONNECT OK "*) echo "connected: KORVEN|Line1" ;;
      "ADVISE OK "*) item="${line#* item=}"; echo "advise link: ${item%% *}" ;;
      "WAIT OK "* | "EXIT "*) ;;
      *) echo "$line" ;;
    esac
  done
}
commands=(KORVEN Line1)
for item in "${items[@]}"; do commands+=(advise "$item"); done
commands+=(wait "$((seconds * 1000))")
say "DDE client: ddeclient ${commands[*]}   (Ctrl-C ends)"
echo "values: time, item, the CF_TEXT the bridge sends (#EMPTY until the OPC server has sent one)"
interrupted=0
# Ctrl-C ends the viewing, not the demo: the shutdown below still runs.
trap 'interrupted=1' INT
viewer_rc=0
env "${locale_env[@]}" "$root/scripts/wine-run.sh" "$ddeclient_exe" "${commands[@]}" \
  2>"$demo/ddeclient.err" </dev/null | tee -i "$demo/ddeclient.log" | view || viewer_rc=$?
trap 'echo; echo "demo: interrupted"; exit 130' INT
grep -v '^bash: warning: setlocale: ' "$demo/ddeclient.err" >&2 || true
# The DDE client handles Ctrl-C itself (INTERRUPTED); then bash runs no trap.
if [ $interrupted -eq 1 ] || grep -q '^INTERRUPTED' "$demo/ddeclient.log"; then
  echo "(viewing ended by Ctrl-C)"
fi
[ $viewer_rc -eq 0 ] || echo "demo: the DDE client ended with code $viewer_rc"
echo "the DDE client's own lines: $demo/ddeclient.log"
echo "the simulation server's journal: $sim/journal.log"

# --- 6. Shut down (cleanup) -----------------------------------------------------------
exit 0
