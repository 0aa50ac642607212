#!/usr/bin/env bash
# Registers the simulation OPC server of the build folder $1 in the Wine
# prefix (its two classes: "Korven.OpcSim.1" with "Velmora.Ctrl9.1", and
# "Korven.OpcSim2.1"; OPC DA 1.0 and 2.0 categories) and, where 32-bit
# programs run (KORVEN_WINE32=1), the 32-bit server of the i686 build beside
# it ("Korven.OpcSim32.1"). Runs at every session start: does nothing when
# the prefix already names the executables.
#
# The 32-bit server registers itself from a 32-bit process: Wine writes its
# class into the 32-bit registry view (HKLM\Software\Classes\Wow6432Node\CLSID)
# and its ProgID into the shared HKEY_CLASSES_ROOT, as Windows does. A 64-bit
# client of Wine 8 finds the ProgID and then the class's LocalServer32 in the
# 32-bit view (COM looks there when the 64-bit view has no such class).
set -euo pipefail
build="$(cd "${1:?usage: 30-opcsim.sh <build folder>}" && pwd)"
WINE64=/usr/lib/wine/wine64
WINE32=/usr/lib/wine/wine

default() { # key view: the key's default value, or nothing
  "$WINE64" reg query "$1" /ve "/reg:$2" 2>/dev/null | tr -d '\r' | sed -n 's/.*REG_SZ[[:space:]]*//p' || true
}

registered() { # progid exe view [arguments]: the ProgID's class is served by exe in that view
  local clsid current win_path="Z:${2//\//\\}" wanted
  clsid="$(default "HKCR\\$1\\CLSID" "$3")"
  [ -n "$clsid" ] || return 1
  current="$(default "HKCR\\CLSID\\$clsid\\LocalServer32" "$3")"
  wanted="\"${win_path}\"${4:+ $4}"
  [ "${current,,}" = "${wanted,,}" ]
}

exe="$build/tools/opcsim/opcsim.exe"
if [ ! -f "$exe" ]; then
  echo "30-opcsim: $exe not built; not registered"
elif ! registered Korven.OpcSim.1 "$exe" 64 || ! registered Korven.OpcSim2.1 "$exe" 64 /Class=2; then
  "$WINE64" "$exe" /RegServer
  registered Korven.OpcSim.1 "$exe" 64 || { echo "30-opcsim: /RegServer did not register $exe" >&2; exit 1; }
  echo "30-opcsim: registered $exe"
fi

[ "${KORVEN_WINE32:-0}" = 1 ] || exit 0
exe32="$(dirname "$build")/i686/tools/opcsim/opcsim.exe"
progid32=Korven.OpcSim32.1
if [ ! -f "$exe32" ]; then
  echo "30-opcsim: $exe32 not built; not registered"
  exit 0
fi
# A 32-bit program's registration goes where Windows puts it: the class
# (CLSID, with its LocalServer32) into the 32-bit view, the ProgID into the
# HKEY_CLASSES_ROOT that both sides share (`reg query /reg:32` does not show
# shared keys: the ProgID is read as 64-bit programs read it).
registered32() {
  local clsid current win_path="Z:${exe32//\//\\}"
  clsid="$(default "HKCR\\$progid32\\CLSID" 64)"
  [ -n "$clsid" ] || return 1
  current="$(default "HKCR\\CLSID\\$clsid\\LocalServer32" 32)"
  [ "${current,,}" = "\"${win_path,,}\"" ]
}
# A failure of the 32-bit server's registration fails the 32-bit cases, not
# the session.
fail32() {
  echo "30-opcsim: $1" >&2
  echo "fail: $1 (see session.log)" >"${KORVEN_WINE32_STATE:-/dev/null}"
  exit 0
}
registered32 && exit 0
"$WINE32" "$exe32" /RegServer || true
registered32 || fail32 "/RegServer did not register $exe32"
echo "30-opcsim: registered $exe32 (its class in the 32-bit view, its ProgID shared)"
