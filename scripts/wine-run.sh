#!/usr/bin/env bash
# Runs a built Windows program in the project's Wine prefix:
#
#   scripts/wine-run.sh build/x86_64/KORVEN.exe [arguments...]
#
# Uses the running session (scripts/wine-session.sh start) when there is one;
# otherwise starts one for this command and ends it afterwards.
# KORVEN_WINE_LOCALE runs the program in that locale (e.g. ja_JP.UTF-8, which
# gives it the ANSI code page 932) without the shell having to know it.
# KORVEN_WINE_DIR chooses the session folder (default: build/x86_64/wine, the
# folder the tests use; the programs are taken from its parent build folder).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(dirname "$here")"
wine_dir="${KORVEN_WINE_DIR:-$root/build/x86_64/wine}"
export KORVEN_WINE_DIR="$wine_dir"
export WINEPREFIX="$wine_dir/prefix"
export WINEDEBUG="${WINEDEBUG:--all}"

own_session=0
if ! "$here/wine-session.sh" status >/dev/null 2>&1; then
  "$here/wine-session.sh" start
  own_session=1
fi
export DISPLAY
DISPLAY="$(cat "$wine_dir/display")"

locale=()
if [ -n "${KORVEN_WINE_LOCALE:-}" ]; then
  locale=(LANG="$KORVEN_WINE_LOCALE" LC_ALL="$KORVEN_WINE_LOCALE")
fi
if [ $own_session -eq 0 ]; then
  exec env "${locale[@]}" /usr/lib/wine/wine64 "$@"
fi
rc=0
env "${locale[@]}" /usr/lib/wine/wine64 "$@" || rc=$?
"$here/wine-session.sh" stop
exit $rc
