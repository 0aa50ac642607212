#!/usr/bin/env bash
# Registers the simulation OPC server of the build folder $1 in the Wine
# prefix (class, "Korven.OpcSim.1" and "Velmora.Ctrl9.1", OPC DA 1.0
# category). Runs at every session start: does nothing when the prefix
# already names this executable.
set -euo pipefail
build="$(cd "${1:?usage: 30-opcsim.sh <build folder>}" && pwd)"
exe="$build/tools/opcsim/opcsim.exe"
WINE64=/usr/lib/wine/wine64
if [ ! -f "$exe" ]; then
  echo "30-opcsim: $exe not built; not registered"
  exit 0
fi
win_path="Z:${exe//\//\\}"
key='HKCR\CLSID\{6E2B1F4A-93C4-4D8A-B1E7-3F5A0C9D2E61}\LocalServer32'
registered() {
  local current
  current="$("$WINE64" reg query "$key" /ve 2>/dev/null | tr -d '\r' | sed -n 's/.*REG_SZ[[:space:]]*//p' || true)"
  [ "${current,,}" = "\"${win_path,,}\"" ]
}
registered && exit 0
"$WINE64" "$exe" /RegServer
registered || { echo "30-opcsim: /RegServer did not register $win_path" >&2; exit 1; }
echo "30-opcsim: registered $win_path"
