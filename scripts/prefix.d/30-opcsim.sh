#!/usr/bin/env bash
# Registers the simulation OPC server of the build folder $1 in the Wine
# prefix (its two classes: "Korven.OpcSim.1" with "Velmora.Ctrl9.1", and
# "Korven.OpcSim2.1"; OPC DA 1.0 and 2.0 categories). Runs at every session
# start: does nothing when the prefix already names this executable for both.
set -euo pipefail
build="$(cd "${1:?usage: 30-opcsim.sh <build folder>}" && pwd)"
exe="$build/tools/opcsim/opcsim.exe"
WINE64=/usr/lib/wine/wine64
if [ ! -f "$exe" ]; then
  echo "30-opcsim: $exe not built; not registered"
  exit 0
fi
win_path="Z:${exe//\//\\}"
local_server() {
  "$WINE64" reg query "HKCR\\CLSID\\$1\\LocalServer32" /ve 2>/dev/null | tr -d '\r' |
    sed -n 's/.*REG_SZ[[:space:]]*//p' || true
}
registered() {
  local first second
  first="$(local_server '{6E2B1F4A-93C4-4D8A-B1E7-3F5A0C9D2E61}')"
  second="$(local_server '{ECC7D599-B3D9-4B28-80E9-C9525BD419AF}')"
  [ "${first,,}" = "\"${win_path,,}\"" ] && [ "${second,,}" = "\"${win_path,,}\" /class=2" ]
}
registered && exit 0
"$WINE64" "$exe" /RegServer
registered || { echo "30-opcsim: /RegServer did not register $win_path" >&2; exit 1; }
echo "30-opcsim: registered $win_path"
