#!/usr/bin/env bash
# Once per prefix, where 32-bit programs run (KORVEN_WINE32=1): the first
# 32-bit COM activation, the 32-bit browse tool of the i686 build beside $1
# starting the 32-bit simulation server, with a deadline, so that what Wine
# does the first time a 32-bit client starts a 32-bit local server is done
# before any test waits for it. Its time goes to the session log; a prefix
# where it failed tries again at the next session start.
set -euo pipefail
build="$(cd "${1:?usage: 40-warm32.sh <build folder>}" && pwd)"
[ "${KORVEN_WINE32:-0}" = 1 ] || exit 0
stamp="$WINEPREFIX/korven-warm32"
[ -f "$stamp" ] && exit 0
i686="$(dirname "$build")/i686"
browse="$i686/tools/opcbrowse/opcbrowse.exe"
server="$i686/tools/opcsim/opcsim.exe"
if [ ! -f "$browse" ] || [ ! -f "$server" ]; then
  echo "40-warm32: the i686 browse tool or simulation server is not built; no warm-up"
  exit 0
fi

server_running() { # a process of the prefix runs the 32-bit server
  local windows="z:${server//\//\\}" pid program
  for pid in /proc/[0-9]*; do
    program="$(tr '\0' '\n' 2>/dev/null <"$pid/cmdline" | head -n1)" || continue
    [ "${program,,}" = "${windows,,}" ] && return 0
  done
  return 1
}

started=$SECONDS
rc=0
timeout -k 5 120 /usr/lib/wine/wine "$browse" Korven.OpcSim32.1 /Flat >/dev/null || rc=$?
echo "40-warm32: first 32-bit activation (opcbrowse Korven.OpcSim32.1): exit code $rc, $((SECONDS - started)) s"
# The server ends at its last release; the tests start servers of their own.
deadline=$((SECONDS + 20))
while server_running && [ $SECONDS -lt $deadline ]; do sleep 0.1; done
[ $rc -eq 0 ] && touch "$stamp"
exit 0
