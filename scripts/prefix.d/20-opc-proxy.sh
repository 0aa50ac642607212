#!/usr/bin/env bash
# Registers the OPC proxy/stub DLL of the build folder $1 in the Wine prefix
# (WINEPREFIX, DISPLAY set by the session script) and, where 32-bit programs
# run (KORVEN_WINE32=1), the 32-bit one of the i686 build beside it, with the
# 32-bit regsvr32: its keys go to the 32-bit registry view, where 32-bit
# programs look for the proxies of their interfaces. Runs at every session
# start: does nothing when the prefix already names the DLL and registered
# this very build of it (a rebuilt DLL may carry more interfaces).
set -euo pipefail
build="$(cd "${1:?usage: 20-opc-proxy.sh <build folder>}" && pwd)"
WINE64=/usr/lib/wine/wine64
WINE32=/usr/lib/wine/wine
# The proxy class identifier is that of the first interface, IOPCServer.
key='HKCR\CLSID\{39C13A4D-011E-11D0-9675-0020AFD8ADB3}\InprocServer32'

register() { # dll loader registry-view stamp-name
  local dll="$1" loader="$2" view="$3" stamp="$WINEPREFIX/$4"
  if [ ! -f "$dll" ]; then
    echo "20-opc-proxy: $dll not built; not registered"
    return 0
  fi
  local win_path="Z:${dll//\//\\}" digest
  digest="$(sha1sum "$dll" | cut -d' ' -f1)"
  registered() {
    local current
    current="$("$WINE64" reg query "$key" /ve "/reg:$view" 2>/dev/null | tr -d '\r' |
      sed -n 's/.*REG_SZ[[:space:]]*//p' || true)"
    [ "${current,,}" = "${win_path,,}" ]
  }
  registered && [ "$(cat "$stamp" 2>/dev/null)" = "$digest" ] && return 0
  "$loader" regsvr32 /s "$win_path"
  registered || { echo "20-opc-proxy: regsvr32 did not register $win_path" >&2; return 1; }
  echo "$digest" >"$stamp"
  echo "20-opc-proxy: registered $win_path ($view-bit view)"
}

register "$build/idl/KorvenOpcPS.dll" "$WINE64" 64 korven-opc-proxy.sha1
if [ "${KORVEN_WINE32:-0}" = 1 ]; then
  register "$(dirname "$build")/i686/idl/KorvenOpcPS.dll" "$WINE32" 32 korven-opc-proxy32.sha1 ||
    echo "fail: the 32-bit proxy/stub DLL could not be registered (see session.log)" \
      >"${KORVEN_WINE32_STATE:-/dev/null}"
fi
