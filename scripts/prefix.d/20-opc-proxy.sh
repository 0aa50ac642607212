#!/usr/bin/env bash
# Registers the OPC proxy/stub DLL of the build folder $1 in the Wine prefix
# (WINEPREFIX, DISPLAY set by the session script). Runs at every session
# start: does nothing when the prefix already names this DLL and registered
# this very build of it (a rebuilt DLL may carry more interfaces).
set -euo pipefail
build="$(cd "${1:?usage: 20-opc-proxy.sh <build folder>}" && pwd)"
dll="$build/idl/KorvenOpcPS.dll"
WINE64=/usr/lib/wine/wine64
if [ ! -f "$dll" ]; then
  echo "20-opc-proxy: $dll not built; not registered"
  exit 0
fi
win_path="Z:${dll//\//\\}"
# The proxy class identifier is that of the first interface, IOPCServer.
key='HKCR\CLSID\{39C13A4D-011E-11D0-9675-0020AFD8ADB3}\InprocServer32'
stamp="$WINEPREFIX/korven-opc-proxy.sha1"
digest="$(sha1sum "$dll" | cut -d' ' -f1)"
registered() {
  local current
  current="$("$WINE64" reg query "$key" /ve 2>/dev/null | tr -d '\r' | sed -n 's/.*REG_SZ[[:space:]]*//p' || true)"
  [ "${current,,}" = "${win_path,,}" ]
}
registered && [ "$(cat "$stamp" 2>/dev/null)" = "$digest" ] && exit 0
"$WINE64" regsvr32 /s "$win_path"
registered || { echo "20-opc-proxy: regsvr32 did not register $win_path" >&2; exit 1; }
echo "$digest" >"$stamp"
echo "20-opc-proxy: registered $win_path"
