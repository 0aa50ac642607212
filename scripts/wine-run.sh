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
# A 32-bit program (a .exe file of machine type i386) runs with Wine's 32-bit
# loader, beside the 64-bit programs of the prefix (WoW64).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(dirname "$here")"
wine_dir="${KORVEN_WINE_DIR:-$root/build/x86_64/wine}"
export KORVEN_WINE_DIR="$wine_dir"
export WINEPREFIX="$wine_dir/prefix"
export WINEDEBUG="${WINEDEBUG:--all}"

pe_machine() { # file: the machine word of its PE header in hex (014c: i386, 8664: x86-64)
  local at
  at="$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')"
  od -An -tx2 -j$((at + 4)) -N2 "$1" | tr -d ' '
}

own_session=0
if ! "$here/wine-session.sh" status >/dev/null 2>&1; then
  "$here/wine-session.sh" start
  own_session=1
fi
export DISPLAY
DISPLAY="$(cat "$wine_dir/display")"

# The loader for the program: by the machine word of its PE header.
loader=/usr/lib/wine/wine64
if [ -f "${1:-}" ] && [ "$(pe_machine "$1" 2>/dev/null)" = 014c ]; then
  loader=/usr/lib/wine/wine
fi

locale=()
if [ -n "${KORVEN_WINE_LOCALE:-}" ]; then
  locale=(LANG="$KORVEN_WINE_LOCALE" LC_ALL="$KORVEN_WINE_LOCALE")
fi
if [ $own_session -eq 0 ]; then
  exec env "${locale[@]}" "$loader" "$@"
fi
rc=0
env "${locale[@]}" "$loader" "$@" || rc=$?
"$here/wine-session.sh" stop
exit $rc
