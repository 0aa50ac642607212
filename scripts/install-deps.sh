#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, if any is missing.
# Quiet and quick when everything is already there.
set -euo pipefail

packages=(
  cmake make python3
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix mingw-w64-tools
  googletest
  clang libclang-rt-14-dev
  wine wine64 libwine-dev
  xvfb xauth x11-apps imagemagick libxtst6 fonts-ipafont-gothic
  nsis p7zip-full
)

# Wine's 32-bit loader, for the 32-bit programs (the x86 build, 32-bit OPC
# servers) beside the 64-bit ones in one prefix. It comes from the i386
# architecture, which is added first when missing.
packages+=(wine32:i386)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
if [[ " ${missing[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
